// HTTP answers come from the network in pieces of any size. The input is a
// response: it is read once whole and once cut into pieces chosen by its
// first byte, and both readings must agree byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/cloud/http_client.h"
#include "service/core/file_util.h"

namespace {

const std::string& folder() { return fuzz_scratch_folder("http"); }

struct Outcome {
  int rc;
  int status;
  std::string body;
};

Outcome read_response(const uint8_t* data, size_t size, const std::string& out, unsigned cut_seed) {
  file_delete(out.c_str());
  HttpResponseReader r;
  http_response_reset(&r, out.c_str());
  int rc = 0;
  size_t pos = 0;
  unsigned state = cut_seed | 1;
  while (pos < size && rc == 0) {
    size_t piece = size - pos;
    if (cut_seed) {
      state = state * 1103515245u + 12345u;
      piece = 1 + (state >> 16) % 64;
      if (piece > size - pos) piece = size - pos;
    }
    rc = http_response_feed(&r, reinterpret_cast<const char*>(data) + pos, piece);
    require(rc >= -1 && rc <= 1);
    pos += piece;
  }
  if (rc == 0) {
    // The stream ends: nothing more may change the verdict.
    require(http_response_feed(&r, nullptr, 0) == 0);
  }
  require(r.fill >= 0 && r.fill <= static_cast<int>(kHttpHeaderBuffer));
  require(r.consumed >= 0 && r.consumed <= r.fill);
  Outcome o{rc, r.status, {}};
  file_read_all(out.c_str(), o.body);
  require(o.body.size() <= size);
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The header names are hard to guess byte by byte: the second byte may
  // put a head in front of the rest, so that the body phases get their
  // share of the runs.
  static const char* const kHeads[] = {
      "",
      "HTTP/1.1 200 OK\r\nContent-Length: ",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
      "HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n",
      "HTTP/1.1 200 OK\r\nContent-Encoding: ",
  };
  unsigned seed = data[0];
  std::string input = kHeads[data[1] % (sizeof kHeads / sizeof kHeads[0])];
  input.append(reinterpret_cast<const char*>(data) + 2, size - 2);
  const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
  Outcome whole = read_response(bytes, input.size(), folder() + "/whole", 0);
  Outcome cut = read_response(bytes, input.size(), folder() + "/cut", seed + 1);
  require(whole.rc == cut.rc);
  require(whole.status == cut.status);
  require(whole.body == cut.body);
  return 0;
}
