// The DNS wire format: names, queries, the answer check and the parser.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/net/resolve.h"
#include "tests/service/net/test_resolve_dns_util.h"

namespace {

using dnstest::Bytes;

IpAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress r;
  const uint8_t bytes[4] = {a, b, c, d};
  std::memcpy(&r.ipv4, bytes, 4);
  return r;
}

std::string decode(const Bytes& packet, size_t offset, int* used = nullptr) {
  char out[256];
  int n = dns_decode_name(packet, offset, out);
  if (used) *used = n;
  return n < 0 ? std::string("<fail>") : std::string(out);
}

TEST(DnsEncodeName, WritesLabelsAndCountsBytes) {
  struct Case {
    const char* name;
    int result;
    Bytes wire;
  };
  const Case cases[] = {
      {"a.b", 5, {1, 'a', 1, 'b', 0}},
      {"a.b.", 5, {1, 'a', 1, 'b', 0}},  // a final dot is the root
      {"localhost", 11, {9, 'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't', 0}},
      {"", -1, {}},
      {".", -1, {}},
      {"a..b", -1, {}},
      {".a", -1, {}},
  };
  for (const Case& c : cases) {
    uint8_t out[300];
    int n = dns_encode_name(out, c.name);
    EXPECT_EQ(n, c.result) << c.name;
    if (n > 0) {
      EXPECT_EQ(Bytes(out, out + n), c.wire) << c.name;
    }
  }
}

TEST(DnsEncodeName, EnforcesLabelNameAndBufferLimits) {
  uint8_t out[300];
  EXPECT_EQ(dns_encode_name(out, std::string(63, 'x')), 65);
  EXPECT_EQ(dns_encode_name(out, std::string(64, 'x')), -1);
  // Four labels of 63 with their length bytes and the root: 257 > 255.
  std::string l63(63, 'y');
  EXPECT_EQ(dns_encode_name(out, l63 + "." + l63 + "." + l63 + "." + l63), -1);
  // 253 characters of text is the longest name: 255 bytes on the wire.
  std::string longest = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'z');
  ASSERT_EQ(longest.size(), 253u);
  EXPECT_EQ(dns_encode_name(out, longest), 255);
  uint8_t small[4];
  EXPECT_EQ(dns_encode_name(small, "abc"), -1);  // needs 5
  uint8_t exact[5];
  EXPECT_EQ(dns_encode_name(exact, "abc"), 5);
}

TEST(DnsDecodeName, FollowsPointersAndReportsBytesAtOffset) {
  // 12 bytes of header, then "www.example.com" at 12, then at 29 the name
  // "mail" + pointer to "example.com" (offset 16), then at 36 a bare pointer.
  Bytes p(12, 0);
  dnstest::put_name(p, "www.example.com");
  ASSERT_EQ(p.size(), 29u);
  p.insert(p.end(), {4, 'm', 'a', 'i', 'l', 0xC0, 16});
  p.insert(p.end(), {0xC0, 29});
  int used = 0;
  EXPECT_EQ(decode(p, 12, &used), "www.example.com");
  EXPECT_EQ(used, 17);
  EXPECT_EQ(decode(p, 29, &used), "mail.example.com");
  EXPECT_EQ(used, 7);
  EXPECT_EQ(decode(p, 36, &used), "mail.example.com");
  EXPECT_EQ(used, 2);
}

TEST(DnsDecodeName, RefusesLoopsForwardPointersAndOverruns) {
  struct Case {
    const char* what;
    Bytes tail;  // placed after a 12-byte header; the name starts at 12
  };
  const Case cases[] = {
      {"pointer to itself", {0xC0, 12}},
      {"label then pointer back to its own start", {1, 'a', 0xC0, 12}},
      {"forward pointer", {0xC0, 14, 0}},
      {"pointer past the end", {0xC0, 0x50}},
      {"half a pointer", {0xC0}},
      {"label past the end", {5, 'a', 'b'}},
      {"no terminating zero", {1, 'a'}},
      {"reserved label type 0x40", {0x41, 'a', 0}},
      {"reserved label type 0x80", {0x81, 'a', 0}},
      {"empty", {}},
  };
  for (const Case& c : cases) {
    Bytes p(12, 0);
    p.insert(p.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(decode(p, 12), "<fail>") << c.what;
  }
  // Two names pointing at each other.
  Bytes ping(12, 0);
  ping.insert(ping.end(), {1, 'a', 0xC0, 16, 1, 'b', 0xC0, 12});
  EXPECT_EQ(decode(ping, 16), "<fail>");
  EXPECT_EQ(decode(ping, 12), "<fail>");
}

TEST(DnsDecodeName, RefusesNamesLongerThan255BytesBuiltFromPointers) {
  // A chain of 63-byte labels, each pointing to the previous one: every
  // pointer leads backwards, but the name grows beyond the limit.
  Bytes p(12, 0);
  size_t previous = 0;
  for (int i = 0; i < 6; ++i) {
    size_t start = p.size();
    p.push_back(63);
    p.insert(p.end(), 63, static_cast<uint8_t>('a' + i));
    if (i == 0) {
      p.push_back(0);
    } else {
      p.push_back(static_cast<uint8_t>(0xC0 | previous >> 8));
      p.push_back(static_cast<uint8_t>(previous));
    }
    previous = start;
  }
  EXPECT_NE(decode(p, 12), "<fail>");  // one label alone is fine
  EXPECT_EQ(decode(p, previous), "<fail>");
}

TEST(DnsBuildQuery, HasIdFlagsOneQuestionAndType) {
  uint8_t out[512];
  int n = dns_build_query(out, 0xBEEF, "example.com", kFamilyIPv6);
  ASSERT_EQ(n, 12 + 13 + 4);
  const Bytes head(out, out + 12);
  EXPECT_EQ(head, (Bytes{0xBE, 0xEF, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(out[25], 0);
  EXPECT_EQ(out[26], 28);  // AAAA
  EXPECT_EQ(out[28], 1);   // class IN
  n = dns_build_query(out, 1, "example.com", kFamilyIPv4);
  EXPECT_EQ(out[26], 1);  // A
  uint8_t tiny[20];
  EXPECT_EQ(dns_build_query(tiny, 1, "example.com", kFamilyIPv4), -1);
  EXPECT_EQ(dns_build_query(out, 1, "bad..name", kFamilyIPv4), -1);
}

TEST(DnsAnswerMatches, NeedsIdQuestionTypeAndResponseBit) {
  const Bytes good = dnstest::response(0x1234, "relay.example.com", kDnsTypeA, {dnstest::a_record(1, 2, 3, 4)});
  EXPECT_EQ(dns_answer_matches(good, 0x1234, "relay.example.com", kFamilyIPv4), 1);
  EXPECT_EQ(dns_answer_matches(good, 0x1234, "RELAY.Example.COM", kFamilyIPv4), 1);
  EXPECT_EQ(dns_answer_matches(good, 0x1235, "relay.example.com", kFamilyIPv4), 0);
  EXPECT_EQ(dns_answer_matches(good, 0x1234, "other.example.com", kFamilyIPv4), 0);
  EXPECT_EQ(dns_answer_matches(good, 0x1234, "relay.example", kFamilyIPv4), 0);
  EXPECT_EQ(dns_answer_matches(good, 0x1234, "relay.example.com", kFamilyIPv6), 0);
  const Bytes query = dnstest::response(0x1234, "relay.example.com", kDnsTypeA, {}, 0x0100);
  EXPECT_EQ(dns_answer_matches(query, 0x1234, "relay.example.com", kFamilyIPv4), 0);
  Bytes two = good;
  two[5] = 2;  // two questions
  EXPECT_EQ(dns_answer_matches(two, 0x1234, "relay.example.com", kFamilyIPv4), 0);
  Bytes chaos = good;
  chaos[12 + 19 + 3] = 3;  // class CH
  EXPECT_EQ(dns_answer_matches(chaos, 0x1234, "relay.example.com", kFamilyIPv4), 0);
  // Every cut of the question is refused without reading past the end.
  for (size_t n = 0; n < 12 + 19 + 4; ++n) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_EQ(dns_answer_matches(cut, 0x1234, "relay.example.com", kFamilyIPv4), 0) << n;
  }
}

TEST(DnsParseAnswer, TakesTheFirstRecordOfTheFamily) {
  using dnstest::Record;
  const Record six = dnstest::aaaa_record({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7});
  struct Case {
    const char* what;
    int family;
    std::vector<Record> answers;
    uint16_t flags;
    int found;
    IpAddress want;
  };
  Record wrong_class = dnstest::a_record(9, 9, 9, 9);
  wrong_class.klass = 3;
  Record short_a = dnstest::a_record(9, 9, 9, 9);
  short_a.data.pop_back();
  IpAddress want6;
  std::memcpy(want6.ipv6, six.data.data(), 16);
  const Case cases[] = {
      {"one A", kFamilyIPv4, {dnstest::a_record(10, 1, 2, 3)}, 0x8180, 1, v4(10, 1, 2, 3)},
      {"first of two", kFamilyIPv4, {dnstest::a_record(10, 1, 2, 3), dnstest::a_record(10, 4, 5, 6)}, 0x8180, 1,
       v4(10, 1, 2, 3)},
      {"alias skipped, A after it", kFamilyIPv4, {dnstest::cname_record("real.example.com"), dnstest::a_record(10, 7, 7, 7)},
       0x8180, 1, v4(10, 7, 7, 7)},
      {"alias only", kFamilyIPv4, {dnstest::cname_record("real.example.com")}, 0x8180, 0, {}},
      {"AAAA asked", kFamilyIPv6, {dnstest::a_record(10, 1, 2, 3), six}, 0x8180, 1, want6},
      {"AAAA asked, only A", kFamilyIPv6, {dnstest::a_record(10, 1, 2, 3)}, 0x8180, 0, {}},
      {"A asked, only AAAA", kFamilyIPv4, {six}, 0x8180, 0, {}},
      {"no answers", kFamilyIPv4, {}, 0x8180, 0, {}},
      {"name error", kFamilyIPv4, {dnstest::a_record(10, 1, 2, 3)}, 0x8183, 0, {}},
      {"server failure", kFamilyIPv4, {dnstest::a_record(10, 1, 2, 3)}, 0x8182, 0, {}},
      {"not a response", kFamilyIPv4, {dnstest::a_record(10, 1, 2, 3)}, 0x0100, 0, {}},
      {"wrong class, then right", kFamilyIPv4, {wrong_class, dnstest::a_record(10, 2, 2, 2)}, 0x8180, 1, v4(10, 2, 2, 2)},
      {"wrong length, then right", kFamilyIPv4, {short_a, dnstest::a_record(10, 3, 3, 3)}, 0x8180, 1, v4(10, 3, 3, 3)},
      {"zero address skipped", kFamilyIPv4, {dnstest::a_record(0, 0, 0, 0), dnstest::a_record(10, 4, 4, 4)}, 0x8180, 1,
       v4(10, 4, 4, 4)},
      {"truncation bit, record complete", kFamilyIPv4, {dnstest::a_record(10, 5, 5, 5)}, 0x8380, 1, v4(10, 5, 5, 5)},
  };
  for (const Case& c : cases) {
    const Bytes packet = dnstest::response(7, "host.example.com", c.family == kFamilyIPv6 ? kDnsTypeAAAA : kDnsTypeA,
                                           c.answers, c.flags);
    IpAddress got = v4(1, 1, 1, 1);
    EXPECT_EQ(dns_parse_answer(c.family, packet, &got), c.found) << c.what;
    EXPECT_EQ(std::memcmp(&got, &c.want, sizeof got), 0) << c.what;
  }
}

TEST(DnsParseAnswer, ReportsTheRecordTtl) {
  const Bytes packet = dnstest::response(7, "h.example", kDnsTypeA, {dnstest::a_record(10, 1, 1, 1, 86401)});
  IpAddress got;
  uint32_t ttl = 0;
  ASSERT_EQ(dns_parse_answer(kFamilyIPv4, packet, &got, &ttl), 1);
  EXPECT_EQ(ttl, 86401u);
}

TEST(DnsParseAnswer, EveryTruncationFailsCleanly) {
  const Bytes full = dnstest::response(7, "host.example.com", kDnsTypeA,
                                       {dnstest::cname_record("x.example.com"), dnstest::a_record(10, 1, 2, 3)});
  IpAddress got;
  ASSERT_EQ(dns_parse_answer(kFamilyIPv4, full, &got), 1);
  for (size_t n = 0; n < full.size(); ++n) {
    // A copy of exactly n bytes, so that ASan sees any read past it.
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
    EXPECT_EQ(dns_parse_answer(kFamilyIPv4, cut, &got), 0) << n;
  }
}

TEST(DnsParseAnswer, RecordCountsBeyondThePacketFail) {
  Bytes packet = dnstest::response(7, "h.example", kDnsTypeA, {dnstest::a_record(0, 0, 0, 0)});
  packet[6] = 0xFF;  // 65280 answers claimed, one present (and that one zero)
  packet[7] = 0x00;
  IpAddress got;
  EXPECT_EQ(dns_parse_answer(kFamilyIPv4, packet, &got), 0);
  packet[4] = 0xFF;  // and as many questions
  EXPECT_EQ(dns_parse_answer(kFamilyIPv4, packet, &got), 0);
}

TEST(DnsParseAnswer, CompressionLoopInARecordNameFails) {
  Bytes packet = dnstest::response(7, "h.example", kDnsTypeA, {});
  packet[7] = 1;
  size_t at = packet.size();
  // An owner name that points at itself, then a well-formed A record body.
  packet.push_back(static_cast<uint8_t>(0xC0 | at >> 8));
  packet.push_back(static_cast<uint8_t>(at));
  dnstest::put16(packet, 1);
  dnstest::put16(packet, 1);
  dnstest::put32(packet, 60);
  dnstest::put16(packet, 4);
  packet.insert(packet.end(), {10, 0, 0, 1});
  IpAddress got;
  EXPECT_EQ(dns_parse_answer(kFamilyIPv4, packet, &got), 0);
}

}  // namespace
