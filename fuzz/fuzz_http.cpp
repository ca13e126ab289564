// The HTTP request path on arbitrary bytes in any segmentation: the
// completeness check as the connection feeds it, then for every complete
// request the gate, the request processor (mapping, decoding, ranges,
// answer writers) and the answer list parser, in a small program folder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/file_util.h"
#include "service/web/http_parse.h"
#include "service/web/request_folder.h"
#include "service/web/web_gate.h"
#include "service/web/web_request.h"

namespace {

void put(const char* path, std::string_view data) {
  FILE* f = file_open(path, "wb");
  if (!f) return;
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

void runner(const char* folder, const char*, const char* file) {
  char page[kRequestFolderPathMax + 16];
  if (request_file_free_name(folder, 200, ".htm", page) < 0) return;
  request_file_write(page, file);
  answer_file((std::string(folder) + "/answer").c_str(), page);
}

bool remote_peer(const SockAddr&) { return false; }

std::string g_root;
std::string g_home;

void prepare_folder() {
  g_home = current_dir();
  g_root = system_temp_dir() + "/kv-fuzz-http";
  dir_create(g_root.c_str());
  change_dir(g_root.c_str());
  for (const char* d : {"www", "www/page", "www/page/en", "www/lib", "www/base", "www/base/js", "user"}) dir_create(d);
  put("www/main.htm", "<$ x $>");
  put("www/404.htm", "missing");
  put("www/a.txt", "0123456789abcdef");
  put("www/page/en/x.htm", "x");
  put("www/lib/chart.js", "chart");
  put("www/base/js/command.ts", "shell $request_body");
  put("www/mime.txt", "zip:octetfile:application/zip\n*:textfile:text/plain\n");
  put("appinfo.inf", "[app]\nwebport=9800\n");
  put("user/config.inf", "[master]\nremote_access=1\n\n[passwd]\npass1=secret\n\n[]\n");
  web_set_page_runner(runner);
  web_set_port(9800);
  change_dir(g_home.c_str());
}

// The program folder is the current directory while an input runs; the
// fuzzer's own relative paths need the old one between inputs.
struct InProgramFolder {
  InProgramFolder() { change_dir(g_root.c_str()); }
  ~InProgramFolder() { change_dir(g_home.c_str()); }
};

void answer_one(std::string_view request, const SockAddr& peer) {
  RequestFolder* folder = request_folder_open(false);
  if (!folder) return;
  std::string base = request_folder_path(folder);
  std::string answer = base + "/answer";
  request_file_write((base + "/request").c_str(), request);
  int refused = gate_check_request(request, peer, 9800);
  if (refused) {
    answer_refusal(answer.c_str(), refused);
  } else {
    process_request(base.c_str());
  }
  std::string list;
  if (request_file_read(answer.c_str(), list) >= 0) {
    AnswerPart parts[kAnswerPartsMax];
    http_parse_answer(list, request.substr(0, 4) == "HEAD", parts, request_file_size);
  }
  request_folder_close(folder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    prepare_folder();
    return true;
  }();
  (void)ready;
  if (size == 0) return 0;
  InProgramFolder in_folder;
  uint32_t seed = data[0];
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  SockAddr peer;
  IpAddress lo = ip_loopback(kFamilyIPv4);
  make_sockaddr(&peer, &lo, 40000);
  gate_set_peer_classifier((seed & 0x80) ? remote_peer : nullptr);

  // The receive buffer as the connection keeps it: bounded, consumed one
  // request at a time, the rest kept for the next.
  std::string buffer;
  RequestScan scan;
  size_t pos = 0;
  uint32_t rng = seed * 2654435761u + 1;
  int requests = 0;
  while (pos < input.size() && requests < 64) {
    rng = rng * 1103515245u + 12345u;
    size_t piece = 1 + (rng >> 16) % 97;
    if (piece > input.size() - pos) piece = input.size() - pos;
    if (buffer.size() + piece + 1 >= kReceiveLimit) break;
    buffer.append(input.substr(pos, piece));
    pos += piece;
    for (;;) {
      int r = http_scan(buffer, &scan);
      if (r == kScanBad) return 0;
      if (r == kScanMore) break;
      uint32_t used = scan_request_size(scan);
      answer_one(std::string_view(buffer).substr(0, used), peer);
      buffer.erase(0, used);
      scan = RequestScan{};
      ++requests;
    }
  }

  // The pieces that take text directly.
  std::string text(input.substr(0, 512));
  gate_host_allowed(text);
  ByteRange range;
  if (parse_range(text, &range) == 0) {
    int64_t first = 0, last = 0;
    range_bounds(range, 1000, &first, &last);
  }
  char path[kMaxPath + 1];
  map_web_path(text, path);
  map_script_path(text.c_str(), "www/page/main.htm", path);
  std::vector<char> decode(text.begin(), text.end());
  decode.push_back('\0');
  url_decode(decode.data(), static_cast<int>(text.size()));
  char out[128];
  base64_decode(text, out);
  gate_header(text, "Host", out);
  return 0;
}
