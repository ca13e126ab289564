// The request side of `ahttp`: one handler object per request, stepping
// through resolve, connect, send and receive on the event loop.
#include "service/cloud/http_client.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/core/clock.h"
#include "service/core/text.h"
#include "service/net/resolve.h"
#include "service/net/socket.h"

namespace {

enum State { kResolving = 1, kConnecting, kSendingHead, kSendingBody, kReceiving };

// A fast answer must not keep one request in its handler for long; the
// poller reports the rest at the next step.
constexpr int kReadsPerWake = 64;
constexpr int kMaxTimeout = 1000000;  // seconds

struct HttpClientRequest : Handler {
  HttpCompletion completion = nullptr;
  std::vector<std::string> args;
  std::vector<const char*> argv;
  const char* out_file = nullptr;
  const char* tag = nullptr;
  std::string host;
  std::string path;
  uint16_t port = 0;
  IpAddress address;
  sock_t socket = kNoSocket;
  int timeout_s = kHttpDefaultTimeout;
  uint32_t start_tick = 0;
  const char* post_text = nullptr;
  size_t post_length = 0;
  size_t post_sent = 0;  // of the text and, with a file, its 0 separator
  const char* post_file = nullptr;
  int64_t file_offset = 0;
  int64_t file_length = 0;  // as announced in Content-Length
  char send[kHttpSendBuffer];
  size_t send_length = 0;
  size_t send_position = 0;
  int state = kResolving;
  HttpResponseReader response;
};

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void append_json_text(std::string& out, const char* text) {
  for (const char* p = text; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::string result_text(const HttpClientRequest* q, int ret) {
  std::string out = "{\"ret\":" + std::to_string(ret);
  if (q->out_file) {
    out += ",\"out\":\"";
    append_json_text(out, q->out_file);
    out += '"';
  }
  if (q->tag) {
    out += ",\"tag\":\"";
    append_json_text(out, q->tag);
    out += '"';
  }
  out += '}';
  return out;
}

void finish(HttpClientRequest* q, int ret) {
  fmessage_unregister(q);
  if (q->socket != kNoSocket) socket_close(q->socket);
  q->socket = kNoSocket;
  std::string result = result_text(q, ret);
  if (q->completion) q->completion(q->argv.data(), static_cast<int>(q->args.size()), result.c_str());
  delete q;
}

bool has_line_break(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

// Options come in pairs; only whole arguments count as option names.
bool read_options(HttpClientRequest* q) {
  for (size_t i = 2; i + 1 < q->args.size(); i += 2) {
    const std::string& name = q->args[i];
    const char* value = q->args[i + 1].c_str();
    if (name == "-out") {
      q->out_file = value;
    } else if (name == "-tag") {
      q->tag = value;
    } else if (name == "-t") {
      // Bounded so that the deadline stays comparable on the tick clock.
      int seconds = parse_int(value);
      if (seconds > 0) q->timeout_s = seconds < kMaxTimeout ? seconds : kMaxTimeout;
    } else if (name == "-p") {
      q->post_text = value;
      q->post_length = q->args[i + 1].size();
    } else if (name == "-f") {
      if (q->post_file) return false;
      q->post_file = value;
    } else if (name == "-h") {
      // A line break would smuggle further header lines into the head.
      if (has_line_break(value)) return false;
    }
  }
  return true;
}

bool starts_folded(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Host, port and path of the URL. The connection always speaks plain
// HTTP; "https" only changes the default port.
bool read_url(HttpClientRequest* q, std::string_view url) {
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  }
  int port = 80;
  if (starts_folded(url, "https://")) {
    port = 443;
    url.remove_prefix(8);
  } else if (starts_folded(url, "http://")) {
    url.remove_prefix(7);
  } else {
    return false;
  }
  std::string_view rest;
  if (!url.empty() && url[0] == '[') {
    size_t close = url.find(']');
    if (close == std::string_view::npos) return false;
    q->host = std::string(url.substr(1, close - 1));
    rest = url.substr(close + 1);
  } else {
    size_t end = url.find_first_of(":/");
    q->host = std::string(url.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : url.substr(end);
  }
  if (!rest.empty() && rest[0] == ':') {
    // The port ends at the first character that is no digit.
    std::string digits(rest.substr(1));
    port = parse_int(digits.c_str());
  }
  size_t slash = rest.find('/');
  q->path = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash + 1));
  q->port = static_cast<uint16_t>(port);
  return !q->host.empty() && port > 0 && port <= 65535;
}

bool build_head(HttpClientRequest* q) {
  const char* method = q->post_text || q->post_file ? "POST" : "GET";
  int64_t length = static_cast<int64_t>(q->post_length) + q->file_length + (q->post_text && q->post_file ? 1 : 0);
  // An IPv6 literal needs its brackets in the Host line, as in the URL.
  std::string host = q->host.find(':') == std::string::npos ? q->host : "[" + q->host + "]";
  int n = std::snprintf(q->send, sizeof q->send,
                        "%s /%s HTTP/1.1\r\nHost: %s\r\nAccept: text/*\r\nUser-Agent: HttpConnect/1.1\r\n"
                        "Content-Length: %lld\r\n",
                        method, q->path.c_str(), host.c_str(), static_cast<long long>(length));
  if (n < 0 || static_cast<size_t>(n) >= sizeof q->send) return false;
  size_t len = static_cast<size_t>(n);
  for (size_t i = 2; i + 1 < q->args.size(); i += 2) {
    if (q->args[i] != "-h") continue;
    const std::string& line = q->args[i + 1];
    if (len + line.size() + 2 >= sizeof q->send) return false;
    std::memcpy(q->send + len, line.data(), line.size());
    len += line.size();
    std::memcpy(q->send + len, "\r\n", 2);
    len += 2;
  }
  if (len + 2 > sizeof q->send) return false;
  std::memcpy(q->send + len, "\r\n", 2);
  q->send_length = len + 2;
  q->send_position = 0;
  return true;
}

int family_of(const IpAddress& a) {
  if (a.ipv4) return kFamilyIPv4;
  for (uint8_t b : a.ipv6) {
    if (b) return kFamilyIPv6;
  }
  return 0;
}

void connect_failed(HttpClientRequest* q) {
  say("connect ERROR\n");
  finish(q, -1);
}

// Resolving: a known address starts the connect; an unknown one waits for
// the next tick or for the broadcast of an answer.
void try_resolve(HttpClientRequest* q) {
  std::printf("dns %s\n", q->host.c_str());
  std::fflush(stdout);
  if (!dns_resolve(q->host, &q->address)) return;
  say("dns OK\n");
  int family = family_of(q->address);
  q->socket = family ? tcp_socket(family) : kNoSocket;
  if (q->socket == kNoSocket) {
    connect_failed(q);
    return;
  }
  SockAddr to;
  make_sockaddr(&to, &q->address, q->port);
  fmessage_socket(q, kHttpSocketId, q->socket, kWatchWrite);
  q->state = kConnecting;
  if (tcp_connect(q->socket, to) < 0 && !socket_would_block() && !socket_interrupted()) connect_failed(q);
}

void start_receiving(HttpClientRequest* q) {
  q->send_length = q->send_position = 0;
  q->state = kReceiving;
  if (http_response_reset(&q->response, q->out_file) < 0) {
    finish(q, -1);
    return;
  }
  fmessage_socket(q, kHttpSocketId, q->socket, kWatchRead);
}

// Next piece of the body into the send buffer: the "-p" text (and the 0
// byte before a file), then the file. -1 when the file ended before the
// length the head announced: the server would wait for bytes that never
// come.
int refill(HttpClientRequest* q) {
  size_t text_total = q->post_text ? q->post_length + (q->post_file ? 1 : 0) : 0;
  if (q->post_sent < text_total) {
    size_t n = 0;
    while (n < sizeof q->send && q->post_sent < text_total) {
      q->send[n++] = q->post_sent < q->post_length ? q->post_text[q->post_sent] : '\0';
      ++q->post_sent;
    }
    q->send_length = n;
    q->send_position = 0;
    return 1;
  }
  if (!q->post_file || q->file_offset >= q->file_length) return 0;
  FILE* f = file_open(q->post_file, "rb");
  if (!f) return -1;
  int64_t want = q->file_length - q->file_offset;
  size_t size = want < static_cast<int64_t>(sizeof q->send) ? static_cast<size_t>(want) : sizeof q->send;
  size_t n = 0;
  if (q->file_offset <= LONG_MAX && std::fseek(f, static_cast<long>(q->file_offset), SEEK_SET) == 0) {
    n = std::fread(q->send, 1, size, f);
  }
  std::fclose(f);
  if (n == 0) return -1;
  q->file_offset += static_cast<int64_t>(n);
  q->send_length = n;
  q->send_position = 0;
  return 1;
}

// Sends what the buffer holds and refills it until the request is out or
// the socket is full.
void pump_send(HttpClientRequest* q) {
  for (;;) {
    if (q->send_position < q->send_length) {
      int n = socket_send(q->socket, q->send + q->send_position, q->send_length - q->send_position);
      if (n > 0) {
        q->send_position += static_cast<size_t>(n);
        continue;
      }
      if (n == 0 || socket_would_block() || socket_interrupted()) {
        fmessage_socket(q, kHttpSocketId, q->socket, kWatchWrite);
        return;
      }
      finish(q, -1);
      return;
    }
    if (q->state == kSendingHead) {
      q->state = kSendingBody;
      q->send_length = q->send_position = 0;
      q->post_sent = 0;
      q->file_offset = 0;
    }
    int more = refill(q);
    if (more < 0) {
      finish(q, -1);
      return;
    }
    if (more == 0) {
      start_receiving(q);
      return;
    }
  }
}

void on_writable(HttpClientRequest* q) {
  if (q->state == kConnecting) {
    if (socket_pending_error(q->socket) != 0) {
      connect_failed(q);
      return;
    }
    say("connect OK\n");
    q->state = kSendingHead;
  }
  if (q->state == kSendingHead || q->state == kSendingBody) pump_send(q);
}

void on_readable(HttpClientRequest* q) {
  if (q->state != kReceiving) return;
  char piece[kHttpReceivePiece];
  for (int i = 0; i < kReadsPerWake; ++i) {
    int n = socket_recv(q->socket, piece, sizeof piece);
    if (n < 0) {
      if (socket_would_block() || socket_interrupted()) return;
      finish(q, -1);
      return;
    }
    if (n == 0) {
      finish(q, -1);  // the stream ended before the response did
      return;
    }
    int rc = http_response_feed(&q->response, piece, static_cast<size_t>(n));
    if (rc < 0) {
      finish(q, -1);
      return;
    }
    if (rc == 1) {
      finish(q, q->response.status == 200 ? 0 : q->response.status);
      return;
    }
  }
}

void on_timer(HttpClientRequest* q) {
  uint32_t deadline = q->start_tick + static_cast<uint32_t>(q->timeout_s) * 1000u;
  if (tick_diff(tick_ms(), deadline) > 0) {
    say("timeout ERROR\n");
    finish(q, -1);
    return;
  }
  if (q->state == kResolving) {
    try_resolve(q);
    return;
  }
  if (q->state == kConnecting && socket_pending_error(q->socket) != 0) connect_failed(q);
}

void on_start(HttpClientRequest* q) {
  if (!read_options(q) || !read_url(q, q->args[1])) {
    finish(q, -1);
    return;
  }
  if (q->post_file) q->file_length = file_size(q->post_file);
  if (!build_head(q)) {
    finish(q, -1);
    return;
  }
  q->start_tick = tick_ms();
  q->state = kResolving;
  fmessage_timer(q, kHttpTimer, kHttpTickMs);
  // A literal or known name needs no wait for the first tick.
  try_resolve(q);
}

void request_handler(Handler* self, uint32_t id, int64_t a, int64_t b) {
  auto* q = static_cast<HttpClientRequest*>(self);
  if (id == kHttpStartMessage) {
    on_start(q);
  } else if (id == kHttpTimer) {
    on_timer(q);
  } else if (id == XF_BROADCAST) {
    // A name was just answered: perhaps ours.
    if (q->state == kResolving) try_resolve(q);
  } else if (id == kHttpSocketId) {
    if (a != q->socket) return;
    if (b == kWatchWrite) on_writable(q);
    if (b == kWatchRead) on_readable(q);
  } else if (id == XF_QUIT) {
    // The loop is ending and the owners with it: release quietly.
    if (q->socket != kNoSocket) socket_close(q->socket);
    delete q;
  }
}

}  // namespace

int http_client_start(const char* const* argv, int argc, HttpCompletion completion) {
  if (fmessage_state() != 1 || !argv || argc < 2) return -1;
  for (int i = 0; i < argc; ++i) {
    if (!argv[i]) return -1;
  }
  auto* q = new HttpClientRequest;
  q->handler = request_handler;
  q->completion = completion;
  q->args.assign(argv, argv + argc);
  for (const std::string& s : q->args) q->argv.push_back(s.c_str());
  q->argv.push_back(nullptr);
  if (fmessage_register(q, 0) != 0) {
    delete q;
    return -1;
  }
  fmessage_post(q, kHttpStartMessage, 0, 0);
  return 0;
}
