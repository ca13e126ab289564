// The relay uploader: sends the request in flight of the post queue as one
// HTTP POST and reads the answer. One upload at a time.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "service/cloud/http_client.h"
#include "service/cloud/notify.h"
#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/text.h"
#include "service/net/resolve.h"
#include "service/net/socket.h"

namespace {

struct Uploader : Handler {
  bool active = false;
  UploadDone done = nullptr;
  std::string host;
  std::string path;
  int port = 80;
  sock_t socket = kNoSocket;
  bool head_sent = false;
  uint32_t activity = 0;
  std::string pending;  // bytes of head or body not yet sent
  int64_t body_length = 0;
  int64_t body_offset = 0;
  bool receiving = false;
  HttpResponseReader reader;
};
Uploader g_up;

void say_end(const char* how) {
  std::printf("net http end in %s \n", how);
  std::fflush(stdout);
}

void release() {
  fmessage_unregister(&g_up);
  if (g_up.socket != kNoSocket) socket_close(g_up.socket);
  g_up.socket = kNoSocket;
  g_up.active = false;
}

void finish(int result) {
  if (!g_up.active) return;
  UploadDone done = g_up.done;
  release();
  if (result != 0) file_delete(kPostAckFile);
  if (done) done(result);
}

void fail(int code) {
  say_end("error");
  finish(code);
}

int family_of(const IpAddress& a) {
  if (a.ipv4) return kFamilyIPv4;
  for (uint8_t b : a.ipv6) {
    if (b) return kFamilyIPv6;
  }
  return 0;
}

void try_connect() {
  IpAddress address;
  if (!dns_resolve(g_up.host, &address)) return;
  int family = family_of(address);
  g_up.socket = family ? tcp_socket(family) : kNoSocket;
  if (g_up.socket == kNoSocket) {
    fail(-1);
    return;
  }
  SockAddr to;
  if (make_sockaddr(&to, &address, g_up.port) < 0) {
    fail(-1);
    return;
  }
  fmessage_socket(&g_up, kUploadSocket, g_up.socket, kWatchWrite);
  if (tcp_connect(g_up.socket, to) < 0 && !socket_would_block() && !socket_interrupted()) fail(-1);
}

// The next piece of the body, read afresh from the file each time.
int refill() {
  FILE* f = file_open(kPostBodyFile, "rb");
  if (!f) return -1;
  char buffer[kUploadPiece];
  size_t n = 0;
  if (g_up.body_offset <= LONG_MAX && std::fseek(f, static_cast<long>(g_up.body_offset), SEEK_SET) == 0) {
    int64_t want = g_up.body_length - g_up.body_offset;
    n = std::fread(buffer, 1, want < kUploadPiece ? static_cast<size_t>(want) : sizeof buffer, f);
  }
  std::fclose(f);
  if (n == 0) return -1;
  g_up.pending.assign(buffer, n);
  g_up.body_offset += static_cast<int64_t>(n);
  return 0;
}

void on_writable() {
  if (!g_up.head_sent) {
    if (socket_pending_error(g_up.socket) != 0) {
      fail(-1);
      return;
    }
    g_up.head_sent = true;
    g_up.body_length = file_size(kPostBodyFile);
    char head[512];
    std::snprintf(head, sizeof head,
                  "POST /%s HTTP/1.1\r\nHost: %s\r\nAccept: text/xml, text/html, text/plain\r\n"
                  "User-Agent: HttpConnect/1.1\r\nContent-Length: %lld\r\n\r\n",
                  g_up.path.c_str(), g_up.host.c_str(), static_cast<long long>(g_up.body_length));
    g_up.pending = head;
  }
  for (;;) {
    if (g_up.pending.empty()) {
      if (g_up.body_offset >= g_up.body_length) break;
      if (refill() != 0) {
        fail(-3);
        return;
      }
    }
    int n = socket_send(g_up.socket, g_up.pending.data(), g_up.pending.size());
    if (n > 0) {
      g_up.pending.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || socket_would_block() || socket_interrupted()) {
      fmessage_socket(&g_up, kUploadSocket, g_up.socket, kWatchWrite);
      return;
    }
    fail(-1);
    return;
  }
  g_up.receiving = true;
  if (http_response_reset(&g_up.reader, kPostAckFile) != 0) {
    fail(-1);
    return;
  }
  fmessage_socket(&g_up, kUploadSocket, g_up.socket, kWatchRead);
}

void on_readable() {
  char buffer[kPostReadMax];
  int n = socket_recv(g_up.socket, buffer, sizeof buffer);
  if (n < 0) {
    if (socket_would_block() || socket_interrupted()) return;
    fail(-2);
    return;
  }
  // The relay closed before a whole answer: waiting for the idle time-out
  // would only spin on a socket that stays readable.
  if (n == 0) {
    fail(-2);
    return;
  }
  g_up.activity = tick_ms();
  int r = http_response_feed(&g_up.reader, buffer, static_cast<size_t>(n));
  if (r < 0) {
    fail(-1);
  } else if (r == 1) {
    bool ok = g_up.reader.status == 200;
    say_end(ok ? "ok" : "error");
    finish(ok ? 0 : -1);
  }
}

void handle(Handler*, uint32_t id, int64_t a, int64_t b) {
  if (!g_up.active) return;
  if (id == kUploadTimer) {
    if (tick_diff(tick_ms(), g_up.activity) > static_cast<int32_t>(kUploadIdleMs)) {
      fail(-1);
      return;
    }
    if (g_up.socket == kNoSocket) try_connect();
  } else if (id == XF_BROADCAST) {
    if (g_up.socket == kNoSocket) try_connect();
  } else if (id == kUploadSocket && a == g_up.socket) {
    if (b == kWatchWrite && !g_up.receiving) on_writable();
    else if (b == kWatchRead && g_up.receiving) on_readable();
  }
}

}  // namespace

int upload_start(const char* address, UploadDone done) {
  if (g_up.active || !address) return -1;
  std::string_view a(address);
  if (a.substr(0, 7) != "http://") return -1;
  std::string_view rest = a.substr(7);
  size_t slash = rest.find('/');
  std::string_view hostport = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  int port = 80;
  size_t colon = hostport.rfind(':');
  if (colon != std::string_view::npos) {
    std::string digits(hostport.substr(colon + 1));
    port = parse_int(digits.c_str());
    hostport = hostport.substr(0, colon);
    if (port <= 0 || port > 65535) return -1;
  }
  if (hostport.empty() || hostport.size() > static_cast<size_t>(kDnsMaxName)) return -1;
  // The path goes into the request line as it is: nothing in it may end
  // that line.
  for (char c : path) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return -1;
  }
  g_up.handler = handle;
  g_up.done = done;
  g_up.host.assign(hostport);
  g_up.path.assign(path);
  g_up.port = port;
  g_up.socket = kNoSocket;
  g_up.head_sent = g_up.receiving = false;
  g_up.pending.clear();
  g_up.body_length = g_up.body_offset = 0;
  if (fmessage_register(&g_up, 0) != 0) return -1;
  g_up.active = true;
  fmessage_timer(&g_up, kUploadTimer, kUploadTickMs);
  fmessage_post(&g_up, kUploadTimer, 0, 0);
  g_up.activity = tick_ms();
  std::printf("\nnet http start : %s\n", address);
  std::fflush(stdout);
  return 0;
}

void upload_abort() {
  if (g_up.active) release();
}

bool upload_busy() { return g_up.active; }
