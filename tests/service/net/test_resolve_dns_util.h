// Builders of DNS packets for the resolver tests.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/net/resolve.h"

namespace dnstest {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

inline void put32(Bytes& b, uint32_t v) {
  put16(b, static_cast<uint16_t>(v >> 16));
  put16(b, static_cast<uint16_t>(v));
}

inline void put_name(Bytes& b, std::string_view name) {
  uint8_t wire[256];
  int n = dns_encode_name(wire, name);
  b.insert(b.end(), wire, wire + (n > 0 ? n : 0));
}

struct Record {
  uint16_t type;
  Bytes data;
  uint32_t ttl = 3600;
  uint16_t klass = 1;
  // Owner name: a pointer to the question (0xC00C) when empty.
  std::string owner;
};

inline Record a_record(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint32_t ttl = 3600) {
  return Record{kDnsTypeA, Bytes{a, b, c, d}, ttl, 1, {}};
}

inline Record aaaa_record(std::initializer_list<uint8_t> bytes) {
  Bytes data(16, 0);
  size_t i = 0;
  for (uint8_t x : bytes) data[i++] = x;
  return Record{kDnsTypeAAAA, data, 3600, 1, {}};
}

inline Record cname_record(std::string_view target) {
  Bytes data;
  put_name(data, target);
  return Record{5, data, 3600, 1, {}};
}

// A response to one question with the given answer records.
inline Bytes response(uint16_t id, std::string_view name, uint16_t qtype, const std::vector<Record>& answers,
                      uint16_t flags = 0x8180) {
  Bytes b;
  put16(b, id);
  put16(b, flags);
  put16(b, 1);
  put16(b, static_cast<uint16_t>(answers.size()));
  put16(b, 0);
  put16(b, 0);
  put_name(b, name);
  put16(b, qtype);
  put16(b, 1);
  for (const Record& r : answers) {
    if (r.owner.empty()) {
      put16(b, 0xC00C);
    } else {
      put_name(b, r.owner);
    }
    put16(b, r.type);
    put16(b, r.klass);
    put32(b, r.ttl);
    put16(b, static_cast<uint16_t>(r.data.size()));
    b.insert(b.end(), r.data.begin(), r.data.end());
  }
  return b;
}

// The id, name and type of a query packet; false when it is none.
struct Question {
  uint16_t id = 0;
  std::string name;
  uint16_t type = 0;
};

inline bool read_question(const Bytes& packet, Question* q) {
  if (packet.size() < 17) return false;
  q->id = static_cast<uint16_t>(packet[0] << 8 | packet[1]);
  char name[256];
  int used = dns_decode_name(packet, 12, name);
  if (used < 0 || 12 + static_cast<size_t>(used) + 4 > packet.size()) return false;
  q->name = name;
  size_t at = 12 + static_cast<size_t>(used);
  q->type = static_cast<uint16_t>(packet[at] << 8 | packet[at + 1]);
  return true;
}

}  // namespace dnstest
