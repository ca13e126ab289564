// The byte-level parts of the HTTP connection: when a received request is
// complete, and how the answer list turns into file parts. No sockets, so
// the fuzzer and the tests drive them directly.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

#include "service/core/file_util.h"

// Connection phases; the two reading phases share the bit kPhaseReading.
constexpr int kPhaseHead = 17;
constexpr int kPhaseBody = 18;
constexpr int kPhaseAnswer = 32;
constexpr int kPhaseReading = 0x10;

// The receive buffer starts at 8192 bytes and doubles while full, up to
// the bound for head and body together (one byte stays for the NUL).
constexpr uint32_t kReceiveInitial = 8192;
constexpr uint32_t kReceiveLimit = 1u << 20;

struct RequestScan {
  int phase = kPhaseHead;
  int head_length = 0;     // bytes up to and including the empty line
  int content_length = 0;  // Content-Length, 0 when absent
  uint32_t searched = 0;   // bytes already searched for the empty line
};

constexpr int kScanMore = 0, kScanComplete = 1, kScanBad = -1;
// Checks whether the bytes received so far hold a complete request; the
// request is then the first head_length + content_length bytes. A bad
// request line, a negative Content-Length or one that cannot fit the
// receive bound is kScanBad.
int http_scan(std::string_view received, RequestScan* scan);
// Bytes of the complete request scanned last.
inline uint32_t scan_request_size(const RequestScan& scan) {
  return static_cast<uint32_t>(scan.head_length) + static_cast<uint32_t>(scan.content_length);
}

// One part of an answer: a file (or memory file of the request folder)
// sent from next up to end.
constexpr int kAnswerPartsMax = 8;
struct AnswerPart {
  char path[kMaxPath + 1] = {};
  int64_t next = 0;
  int64_t end = 0;
};
// Turns the answer list into parts: lines "path", "path;start" or
// "path;start;end", lines starting with "#" dropped, offsets kept inside
// the file's size. head_only keeps just the first line. size_of gives a
// file's size or -1. Returns the number of parts (at most parts.size()).
int http_parse_answer(std::string_view answer, bool head_only, std::span<AnswerPart> parts,
                      int64_t (*size_of)(const char* path));
