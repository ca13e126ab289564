// The response reader on its own: heads, plain and chunked bodies, refusals,
// and responses cut into pieces at every position.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/cloud/http_client.h"
#include "service/core/file_util.h"
#include "tests/support/test_support.h"

namespace {

struct Fed {
  int rc;
  int status;
  std::string body;
  bool file_exists;
};

// Feeds the pieces in order and stops at the first final result.
Fed feed_pieces(const std::vector<std::string>& pieces, const char* out = "body.out") {
  HttpResponseReader r;
  http_response_reset(&r, out);
  int rc = 0;
  for (const std::string& p : pieces) {
    rc = http_response_feed(&r, p.data(), p.size());
    if (rc != 0) break;
  }
  Fed f{rc, r.status, {}, out && path_kind(out) == 2};
  if (f.file_exists) f.body = kvtest::read_file(out);
  return f;
}

Fed feed_whole(const std::string& response, const char* out = "body.out") { return feed_pieces({response}, out); }

class Reader : public ::testing::Test {
 protected:
  kvtest::TempProgramFolder folder;
};

TEST_F(Reader, ResponsesAndTheirResults) {
  struct Case {
    const char* what;
    std::string response;
    int rc;
    int status;
    const char* body;  // nullptr: no output file afterwards
  };
  const Case cases[] = {
      {"plain 200", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 1, 200, "hello"},
      {"404 with a body", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", 1, 404, "not found"},
      {"blanks after the status line's first blank", "HTTP/1.1    500 Oops\r\nContent-Length: 1\r\n\r\nx", 1, 500, "x"},
      {"lower-case header, blanks and tabs", "HTTP/1.1 200 OK\r\ncontent-length: \t 3 \r\n\r\nabc", 1, 200, "abc"},
      {"bare line feeds", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", 1, 200, "ok"},
      {"line feed, CRs, line feed", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\r\nok", 1, 200, "ok"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", 1, 200, "abc"},
      {"chunked as a continuation line", "HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\n chunked\r\n\r\n1\r\nz\r\n0\r\n\r\n", 1,
       200, "z"},
      {"chunk extensions, hex sizes, trailers",
       "HTTP/1.1 200 OK\r\nTRANSFER-ENCODING: gzip-free, Chunked\r\n\r\n"
       "A;name=value\r\n0123456789\r\n0b\r\nabcdefghijk\r\n0;last\r\nTrailer: x\r\n\r\n",
       1, 200, "0123456789abcdefghijk"},
      {"gzip refused, header and value in any case",
       "HTTP/1.1 200 OK\r\ncontent-encoding: GZIP\r\nContent-Length: 3\r\n\r\nabc", -1, 200, nullptr},
      {"other codings refused too", "HTTP/1.1 200 OK\r\nContent-Encoding: br\r\nContent-Length: 3\r\n\r\nabc", -1, 200,
       nullptr},
      {"identity coding is plain", "HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\nContent-Length: 3\r\n\r\nabc", 1,
       200, "abc"},
      {"no length", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nabc", -1, 200, nullptr},
      {"length only in another header's value", "HTTP/1.1 200 OK\r\nX-Note: Content-Length: 3\r\n\r\nabc", -1, 200,
       nullptr},
      {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\nabc", -1, 200, nullptr},
      {"length with junk", "HTTP/1.1 200 OK\r\nContent-Length: 3x\r\n\r\nabc", -1, 200, nullptr},
      {"no status", "garbage\r\n\r\n", -1, -1, nullptr},
      {"chunk size that is no number", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", -1, 200, nullptr},
      {"chunk data longer than its size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", -1,
       200, "ab"},
      {"interim answer before the real one",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", 1, 200, "hi"},
      {"no content", "HTTP/1.1 204 No Content\r\n\r\n", 1, 204, nullptr},
  };
  for (const Case& c : cases) {
    file_delete("body.out");
    Fed f = feed_whole(c.response);
    EXPECT_EQ(f.rc, c.rc) << c.what;
    EXPECT_EQ(f.status, c.status) << c.what;
    EXPECT_EQ(f.file_exists, c.body != nullptr) << c.what;
    if (c.body) {
      EXPECT_EQ(f.body, c.body) << c.what;
    }
  }
}

TEST_F(Reader, ZeroLengthLeavesTheOutputFileAlone) {
  ASSERT_TRUE(kvtest::write_file("old.out", "previous"));
  Fed f = feed_whole("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "old.out");
  EXPECT_EQ(f.rc, 1);
  EXPECT_EQ(f.body, "previous");
  f = feed_whole("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "absent.out");
  EXPECT_EQ(f.rc, 1);
  EXPECT_FALSE(f.file_exists);
}

TEST_F(Reader, BodyReplacesAnOldOutputFile) {
  for (const char* response : {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew",
                               "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nnew\r\n0\r\n\r\n"}) {
    ASSERT_TRUE(kvtest::write_file("old.out", "previous content"));
    Fed f = feed_whole(response, "old.out");
    EXPECT_EQ(f.rc, 1) << response;
    EXPECT_EQ(f.body, "new") << response;
  }
}

TEST_F(Reader, WithoutOutputFileTheBodyIsDropped) {
  Fed f = feed_whole("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", nullptr);
  EXPECT_EQ(f.rc, 1);
  EXPECT_EQ(f.status, 200);
}

TEST_F(Reader, ChunkedBodySplitAtEveryPosition) {
  const std::string response =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      "4\r\nWiki\r\n6;x=1\r\npedia \r\nD\r\nin\r\n\r\nchunks.\r\n0\r\n\r\n";
  const std::string want = "Wikipedia in\r\n\r\nchunks.";
  for (size_t i = 0; i <= response.size(); ++i) {
    Fed f = feed_pieces({response.substr(0, i), response.substr(i)});
    ASSERT_EQ(f.rc, 1) << "split at " << i;
    ASSERT_EQ(f.body, want) << "split at " << i;
  }
  // Three pieces, every pair of cut positions.
  for (size_t i = 0; i <= response.size(); ++i) {
    for (size_t j = i; j <= response.size(); ++j) {
      Fed f = feed_pieces({response.substr(0, i), response.substr(i, j - i), response.substr(j)});
      ASSERT_EQ(f.rc, 1) << "cuts at " << i << " and " << j;
      ASSERT_EQ(f.body, want) << "cuts at " << i << " and " << j;
    }
  }
  std::vector<std::string> bytes;
  for (char c : response) bytes.emplace_back(1, c);
  Fed f = feed_pieces(bytes);
  EXPECT_EQ(f.rc, 1);
  EXPECT_EQ(f.body, want);
}

TEST_F(Reader, PlainBodySplitAtEveryPosition) {
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nX: y\r\n\r\n0123456789";
  for (size_t i = 0; i <= response.size(); ++i) {
    Fed f = feed_pieces({response.substr(0, i), response.substr(i)});
    ASSERT_EQ(f.rc, 1) << i;
    ASSERT_EQ(f.body, "0123456789") << i;
  }
}

TEST_F(Reader, IncompleteResponseWantsMore) {
  for (const char* partial : {"HTTP/1.1 200 OK\r\nContent-Le", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel",
                              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r",
                              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0"}) {
    EXPECT_EQ(feed_whole(partial).rc, 0) << partial;
  }
}

TEST_F(Reader, HeadLimitIsTheBuffer) {
  // A long head that fits the buffer is fine; one that fills it is refused.
  std::string filler = "X-Filler: " + std::string(1500, 'f') + "\r\n";
  Fed f = feed_whole("HTTP/1.1 200 OK\r\n" + filler + "Content-Length: 1\r\n\r\nq");
  EXPECT_EQ(f.rc, 1);
  EXPECT_EQ(f.body, "q");
  std::string huge = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(kHttpHeaderBuffer, 'f');
  EXPECT_EQ(feed_whole(huge).rc, -1);
  // The same in small pieces.
  std::vector<std::string> pieces;
  for (size_t i = 0; i < huge.size(); i += 100) pieces.push_back(huge.substr(i, 100));
  EXPECT_EQ(feed_pieces(pieces).rc, -1);
}

TEST_F(Reader, FinalResultsStay) {
  HttpResponseReader r;
  http_response_reset(&r, nullptr);
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nab";
  EXPECT_EQ(http_response_feed(&r, ok.data(), ok.size()), 1);
  EXPECT_EQ(http_response_feed(&r, "more", 4), 1);
  http_response_reset(&r, nullptr);
  EXPECT_EQ(http_response_feed(&r, "junk\r\n\r\n", 8), -1);
  EXPECT_EQ(http_response_feed(&r, ok.data(), ok.size()), -1);
}

TEST_F(Reader, LongOutputPathIsRefused) {
  HttpResponseReader r;
  std::string path(kMaxPath + 1, 'p');
  EXPECT_EQ(http_response_reset(&r, path.c_str()), -1);
  EXPECT_EQ(http_response_feed(&r, "HTTP/1.1 200 OK\r\n", 17), -1);
}

}  // namespace
