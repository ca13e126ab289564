// The asynchronous HTTP/1.1 client `ahttp` and the response reader it shares
// with the relay uploader. A request runs as a handler object of the event
// loop (resolve, connect, send, receive) and ends with exactly one call of
// its completion. Plain HTTP only; compressed bodies are refused.
#pragma once
#include <cstddef>
#include <cstdint>

#include "service/core/file_util.h"
#include "service/net/fmessage.h"

constexpr uint32_t kHttpStartMessage = 0x60000001;
constexpr uint32_t kHttpTimer = XF_TIMER + 1;
constexpr uint32_t kHttpSocketId = XF_SOCKET + 1;
constexpr uint32_t kHttpTickMs = 500;
constexpr int kHttpDefaultTimeout = 10;  // seconds
constexpr size_t kHttpSendBuffer = 10240;
constexpr size_t kHttpReceivePiece = 10200;
constexpr size_t kHttpHeaderBuffer = 2048;

// Reads one response, fed in pieces: status, headers, then the body (plain
// or chunked) appended to a file or dropped.
struct HttpResponseReader {
  int status = 0;
  char header[kHttpHeaderBuffer] = {};
  int fill = 0;      // bytes in header
  int consumed = 0;  // bytes of header already used
  // 0 = not chunked; 1 = chunked, first size line expected; greater = later
  // chunks.
  int chunk = 0;
  int64_t remaining = 0;  // of the body, or of the current chunk
  char out_file[kMaxPath + 1] = {};  // "" = the body is dropped
  // Where the reader stands, and the chunk size line being read.
  int phase = 0;
  int64_t chunk_size = 0;
  int size_digits = 0;
  int line_bytes = 0;
};

// Starts a fresh response whose body goes to out_file (nullptr or "": read
// and dropped). 0, or -1 when the path is too long.
int http_response_reset(HttpResponseReader* r, const char* out_file);
// Takes the next piece of the response: 0 more data needed, 1 complete,
// -1 failed (bad head, gzip, no length, a body file that cannot be
// written). After 1 or -1 further pieces change nothing.
int http_response_feed(HttpResponseReader* r, const char* data, size_t length);

// Called once per request with the request's own copy of its arguments and
// the result {"ret":n[,"out":"..."][,"tag":"..."]}; the texts are valid only
// during the call. ret: 0 for a complete 200 answer, the status of any
// other complete answer, -1 for every failure.
using HttpCompletion = void (*)(const char* const* argv, int argc, const char* result);

// argv[0] is a name (ignored), argv[1] the URL, then options with values:
// "-out" file, "-tag" text, "-t" seconds, "-p" text (POST), "-f" file
// (POST), "-h" header line (repeatable). Event thread only. 0 when the
// request was started: its completion follows, also for a URL or options
// it cannot use (ret -1). -1, and no completion ever, when the loop is not
// running or quitting, or there is no URL. A request still running when the
// loop shuts down is released without a completion.
int http_client_start(const char* const* argv, int argc, HttpCompletion completion);
