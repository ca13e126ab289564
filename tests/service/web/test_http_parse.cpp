// When a request is complete, and how the answer list becomes parts.
#include <gtest/gtest.h>

#include <string>

#include "service/web/http_parse.h"

namespace {

int scan_all(std::string_view data, RequestScan* scan) { return http_scan(data, scan); }

// Feeds the bytes in pieces of the given size, as segments would arrive;
// the result of the first call that decides, with the bytes seen then.
int scan_pieces(std::string_view data, size_t piece, RequestScan* scan, size_t* seen) {
  for (size_t n = piece; ; n += piece) {
    if (n > data.size()) n = data.size();
    int r = http_scan(data.substr(0, n), scan);
    if (r != kScanMore || n == data.size()) {
      *seen = n;
      return r;
    }
  }
}

TEST(HttpScan, Cases) {
  struct Case {
    std::string data;
    int result;
    int head_length;
    int content_length;
  } cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", kScanComplete, 18, 0},
      {"GET / HTTP/1.1\n\n", kScanComplete, 16, 0},
      {"GET / HTTP/1.1\r\nHost: x\r\n", kScanMore, 0, 0},
      {"POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhel", kScanMore, 39, 5},
      {"POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", kScanComplete, 39, 5},
      {"POST /a HTTP/1.1\r\nContent-Length:\t 5\r\n\r\nhello", kScanComplete, 40, 5},
      // Only the exact spelling is the length: the body is then ignored.
      {"POST /a HTTP/1.1\r\ncontent-length: 5\r\n\r\n", kScanComplete, 39, 0},
      {"GET /a b HTTP/1.1\r\n\r\n", kScanBad, 0, 0},
      {"GET /a\r\n\r\n", kScanBad, 0, 0},
      {"GET  HTTP/1.1\r\n\r\n", kScanComplete, 17, 0},
      {"GET /\r\n\r\n", kScanBad, 0, 0},
      {"\r\n", kScanBad, 0, 0},
      {"POST / HTTP/1.1\r\nContent-Length: -4\r\n\r\n", kScanBad, 0, 0},
      {"POST / HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n", kScanBad, 0, 0},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", kScanBad, 0, 0},
      // 2^32 + 5 would wrap to 5 in 32 bits.
      {"POST / HTTP/1.1\r\nContent-Length: 4294967301\r\n\r\n", kScanBad, 0, 0},
      {"POST / HTTP/1.1\r\nContent-Length: 0x3\r\n\r\nabc", kScanComplete, 40, 3},
  };
  for (const Case& c : cases) {
    RequestScan scan;
    EXPECT_EQ(scan_all(c.data, &scan), c.result) << c.data;
    if (c.result == kScanComplete || c.content_length) {
      EXPECT_EQ(scan.head_length, c.head_length) << c.data;
      EXPECT_EQ(scan.content_length, c.content_length) << c.data;
    }
  }
}

// Any segmentation gives the same decision at the same byte.
TEST(HttpScan, SegmentationDoesNotMatter) {
  const std::string requests[] = {
      "POST /base/js/command.ts HTTP/1.1\r\nHost: localhost\r\nContent-Length: 17\r\n\r\njson $QAD return\n",
      "GET / HTTP/1.1\n\n",
      "GET / HTTP/1.1\r\nA: b\r\n\r\n",
      "BAD\r\n\r\n",
  };
  for (const std::string& r : requests) {
    RequestScan whole;
    int expected = scan_all(r, &whole);
    size_t needed = expected == kScanComplete ? scan_request_size(whole) : 0;
    for (size_t piece : {1, 2, 3, 7, 64}) {
      RequestScan scan;
      size_t seen = 0;
      EXPECT_EQ(scan_pieces(r, piece, &scan, &seen), expected) << r << " piece " << piece;
      if (expected == kScanComplete) {
        EXPECT_EQ(scan_request_size(scan), needed);
        EXPECT_GE(seen, needed);
        EXPECT_LT(seen, needed + piece);
      }
    }
  }
}

int64_t size_of(const char* path) {
  std::string p(path);
  if (p == "head") return 120;
  if (p == "body") return 1000;
  return -1;
}

TEST(HttpParseAnswer, Lines) {
  AnswerPart parts[kAnswerPartsMax];
  ASSERT_EQ(http_parse_answer("head\nbody\n", false, parts, size_of), 2);
  EXPECT_EQ(parts[0].next, 0);
  EXPECT_EQ(parts[0].end, 120);
  EXPECT_EQ(parts[1].end, 1000);
  ASSERT_EQ(http_parse_answer("head\nbody;100;200\n", false, parts, size_of), 2);
  EXPECT_EQ(parts[1].next, 100);
  EXPECT_EQ(parts[1].end, 200);
  ASSERT_EQ(http_parse_answer("# note\nhead\r\nbody;900\n", false, parts, size_of), 2);
  EXPECT_STREQ(parts[0].path, "head");
  EXPECT_EQ(parts[1].next, 900);
  EXPECT_EQ(parts[1].end, 1000);
  // Offsets stay inside the file.
  ASSERT_EQ(http_parse_answer("body;-5;5000\n", false, parts, size_of), 1);
  EXPECT_EQ(parts[0].next, 0);
  EXPECT_EQ(parts[0].end, 1000);
  ASSERT_EQ(http_parse_answer("body;700;300\n", false, parts, size_of), 1);
  EXPECT_EQ(parts[0].next, 700);
  EXPECT_EQ(parts[0].end, 700);
  // HEAD keeps the head only.
  EXPECT_EQ(http_parse_answer("head\nbody\n", true, parts, size_of), 1);
  // Eight parts at most; a path too long for a part is skipped.
  std::string many;
  for (int i = 0; i < 12; ++i) many += "body\n";
  EXPECT_EQ(http_parse_answer(many, false, parts, size_of), kAnswerPartsMax);
  EXPECT_EQ(http_parse_answer(std::string(600, 'x') + "\nhead\n", false, parts, size_of), 1);
  EXPECT_STREQ(parts[0].path, "head");
  // A missing file is a part of length 0.
  ASSERT_EQ(http_parse_answer("gone\n", false, parts, size_of), 1);
  EXPECT_EQ(parts[0].end, 0);
}

}  // namespace
