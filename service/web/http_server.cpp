#include "service/web/http_server.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/net/socket.h"
#include "service/net/tcp_server.h"
#include "service/web/http_parse.h"
#include "service/web/http_socket.h"
#include "service/web/request_folder.h"
#include "service/web/web_gate.h"
#include "service/web/web_request.h"

namespace {

constexpr uint32_t kSendInitial = 8192;
constexpr uint32_t kSendLarge = 4u << 20;
// An answer part ending beyond this switches to the large buffers.
constexpr int64_t kLargePartEnd = 1 << 20;
constexpr int kLargeSocketBuffer = 1 << 20;
constexpr const char* kDefaultDebugMarker = "/tmp/httpd_debug";

struct HttpState {
  TcpConnection* connection = nullptr;
  int phase = kPhaseHead;
  int debug = 0;
  std::vector<char> receive;  // capacity; data, then a NUL
  uint32_t length = 0;
  RequestScan scan;
  std::vector<char> send;
  uint32_t send_length = 0;
  uint32_t sent = 0;
  AnswerPart parts[kAnswerPartsMax];
  FILE* files[kAnswerPartsMax] = {};
  int part_count = 0;
  RequestFolder* folder = nullptr;
  bool reading_paused = false;
};

TcpServerParams g_params;
TcpServer* g_server = nullptr;
std::string g_debug_marker = kDefaultDebugMarker;

HttpState* state_of(TcpConnection* c) { return c ? static_cast<HttpState*>(c->state) : nullptr; }

void close_files(HttpState* s) {
  for (FILE*& f : s->files) {
    if (f) std::fclose(f);
    f = nullptr;
  }
}

// While an answer is sent the connection reads nothing: a pipelined request
// stays in the socket until this one is done, and an end of stream is seen
// only after the answer is complete.
void pause_reading(HttpState* s) {
  TcpConnection* c = s->connection;
  if (s->reading_paused || c->socket < 0) return;
  fmessage_socket(c->server, kTcpSocketId, c->socket, kUnwatchRead);
  s->reading_paused = true;
}

void resume_reading(HttpState* s) {
  TcpConnection* c = s->connection;
  if (!s->reading_paused || c->socket < 0) return;
  fmessage_socket(c->server, kTcpSocketId, c->socket, kWatchRead);
  s->reading_paused = false;
}

void write_session(const char* folder, const SockAddr& peer) {
  char ip[64] = {};
  ip_format(peer.addr, ip);
  char text[160];
  std::snprintf(text, sizeof text, "request_ip=%s\nrequest_port=%d\n", ip, static_cast<int>(peer.port));
  char path[kRequestFolderPathMax + 16];
  std::snprintf(path, sizeof path, "%s/session", folder);
  request_file_write(path, text);
}

// Phase 32: the request folder, the gate, the processor, the parts.
void begin_answer(HttpState* s) {
  TcpConnection* c = s->connection;
  s->phase = kPhaseAnswer;
  s->part_count = 0;
  pause_reading(s);
  s->folder = request_folder_open(s->debug != 0);
  if (!s->folder) return;
  const char* folder = request_folder_path(s->folder);
  std::string_view request(s->receive.data(), scan_request_size(s->scan));
  char path[kRequestFolderPathMax + 16];
  std::snprintf(path, sizeof path, "%s/request", folder);
  request_file_write(path, request);
  write_session(folder, c->peer);

  std::snprintf(path, sizeof path, "%s/answer", folder);
  int refused = gate_check_request(request, c->peer, g_params.port);
  if (refused) {
    answer_refusal(path, refused);
  } else {
    process_request(folder);
  }
  std::string answer;
  if (request_file_kind(path) != 2 || request_file_read(path, answer, 1 << 20) < 0) return;
  bool head_only = request.substr(0, 4) == "HEAD";
  s->part_count = http_parse_answer(answer, head_only, s->parts, request_file_size);
}

void switch_to_large_buffers(HttpState* s) {
  if (s->send.size() >= kSendLarge) return;
  s->send.resize(kSendLarge);
  if (s->connection->socket >= 0) socket_set_buffers(s->connection->socket, kLargeSocketBuffer, kLargeSocketBuffer);
}

// Fills the send buffer from the parts in order, as many as fit, so a head
// and a small body leave in one write (a head written apart from its body
// meets Nagle's algorithm and delayed acknowledgements). Bytes placed, or
// -1 when a part cannot be read as the answer promised.
int64_t refill(HttpState* s) {
  uint32_t filled = 0;
  for (int i = 0; i < s->part_count; ++i) {
    AnswerPart& part = s->parts[i];
    if (part.next >= part.end) continue;
    if (part.end > kLargePartEnd) switch_to_large_buffers(s);
    uint32_t space = static_cast<uint32_t>(s->send.size()) - filled;
    if (space == 0) break;
    int64_t want = part.end - part.next;
    if (want > space) want = space;
    size_t got = 0;
    if (const std::string* memory = request_file_memory(part.path)) {
      if (part.next + want > static_cast<int64_t>(memory->size())) return -1;
      std::memcpy(s->send.data() + filled, memory->data() + part.next, static_cast<size_t>(want));
      got = static_cast<size_t>(want);
    } else {
      if (!s->files[i]) {
        s->files[i] = file_open(part.path, "rb");
        if (!s->files[i] || (part.next > 0 && std::fseek(s->files[i], static_cast<long>(part.next), SEEK_SET) != 0)) {
          part.next = part.end;
          return -1;
        }
      }
      got = std::fread(s->send.data() + filled, 1, static_cast<size_t>(want), s->files[i]);
      // A file that shrank since its head was written: the head's length
      // can no longer be kept.
      if (got == 0) return -1;
    }
    part.next += static_cast<int64_t>(got);
    filled += static_cast<uint32_t>(got);
    if (part.next >= part.end && s->files[i]) {
      std::fclose(s->files[i]);
      s->files[i] = nullptr;
    }
    if (part.next < part.end) break;  // the buffer is full
  }
  return filled;
}

constexpr int kSendFinished = 1, kSendWaiting = 0, kSendClosed = -1;

int send_answer(HttpState* s) {
  TcpConnection* c = s->connection;
  for (;;) {
    while (s->sent < s->send_length) {
      if (c->socket < 0) return kSendClosed;
      int n = socket_send(c->socket, s->send.data() + s->sent, s->send_length - s->sent);
      if (n < 0) {
        if (socket_interrupted()) continue;
        if (socket_would_block()) {
          tcp_connection_want_write(c);
          return kSendWaiting;
        }
        tcp_connection_close(c);
        return kSendClosed;
      }
      s->sent += static_cast<uint32_t>(n);
      c->last_activity = tick_ms();
    }
    s->sent = s->send_length = 0;
    int64_t filled = refill(s);
    if (filled < 0) {
      tcp_connection_close(c);
      return kSendClosed;
    }
    if (filled == 0) return kSendFinished;
    s->send_length = static_cast<uint32_t>(filled);
  }
}

// Back to reading: the folder goes (kept in debug mode), bytes that followed
// the request stay for the next one.
int finish_answer(HttpState* s) {
  TcpConnection* c = s->connection;
  close_files(s);
  request_folder_close(s->folder);
  s->folder = nullptr;
  s->part_count = 0;
  uint32_t used = scan_request_size(s->scan);
  if (used > s->length) used = s->length;
  std::memmove(s->receive.data(), s->receive.data() + used, s->length - used);
  s->length -= used;
  s->receive[s->length] = '\0';
  s->scan = RequestScan{};
  s->phase = kPhaseHead;
  if (c->peer_closed && s->length == 0) return tcp_connection_close(c);
  if (!c->peer_closed) resume_reading(s);
  // A request that arrived with this one: continue in a later step, so one
  // client cannot hold the loop with a long pipeline.
  if (s->length > 0) fmessage_post(c->server, kTcpSocketId, c->socket, kReadable);
  return 0;
}

// Checks the received bytes and answers one complete request.
int pump(HttpState* s) {
  TcpConnection* c = s->connection;
  if (s->phase == kPhaseAnswer || c->socket < 0) return 0;
  int r = http_scan(std::string_view(s->receive.data(), s->length), &s->scan);
  if (r == kScanBad) return tcp_connection_close(c);
  if (r == kScanMore) {
    // An incomplete request is abandoned at the end of the stream, and one
    // that outgrows the bound is refused.
    if (c->peer_closed || s->length + 1 >= kReceiveLimit) return tcp_connection_close(c);
    return 0;
  }
  begin_answer(s);
  int sent = send_answer(s);
  if (sent != kSendFinished) return sent == kSendClosed ? -1 : 0;
  return finish_answer(s);
}

void on_accept(TcpConnection* c) {
  auto* s = new HttpState;
  s->connection = c;
  s->receive.assign(kReceiveInitial, '\0');
  s->send.assign(kSendInitial, '\0');
  s->debug = path_kind(g_debug_marker.c_str()) != 0 ? 1 : 0;
  // Answers leave in whole buffers; the last, short segment of one must not
  // wait for the acknowledgement of the one before.
  tcp_set_nodelay(c->socket);
  c->state = s;
}

void on_close(TcpConnection* c) {
  HttpState* s = state_of(c);
  if (!s) return;
  close_files(s);
  request_folder_close(s->folder);
  delete s;
  c->state = nullptr;
}

int on_readable(TcpConnection* c) {
  HttpState* s = state_of(c);
  if (!s || c->socket < 0) return 0;
  if (s->phase == kPhaseAnswer) return 0;
  if (!c->peer_closed) {
    uint32_t capacity = static_cast<uint32_t>(s->receive.size());
    if (s->length + 1 >= capacity && capacity < kReceiveLimit) {
      s->receive.resize(capacity * 2);
      capacity *= 2;
    }
    uint32_t space = capacity - 1 - s->length;
    int n = -1;
    if (space > 0) {
      do {
        n = socket_recv(c->socket, s->receive.data() + s->length, space);
      } while (n < 0 && socket_interrupted());
      if (n < 0 && !socket_would_block()) return tcp_connection_close(c);
    }
    if (n == 0) {
      c->peer_closed = true;
      pause_reading(s);
    }
    if (n > 0) {
      c->last_activity = tick_ms();
      s->length += static_cast<uint32_t>(n);
      s->receive[s->length] = '\0';
      if (s->length + 1 >= capacity && capacity < kReceiveLimit) s->receive.resize(capacity * 2);
    }
  }
  return pump(s);
}

int on_writable(TcpConnection* c) {
  HttpState* s = state_of(c);
  if (!s || c->socket < 0 || s->phase != kPhaseAnswer) return 0;
  int sent = send_answer(s);
  if (sent != kSendFinished) return sent == kSendClosed ? -1 : 0;
  return finish_answer(s);
}

}  // namespace

int http_start(int* port) {
  if (!port || g_server) return -1;
  web_request_reset();
  g_params = TcpServerParams{};
  g_params.max_connections = kHttpMaxConnections;
  g_params.port = *port;
  g_params.on_accept = on_accept;
  g_params.on_close = on_close;
  g_params.on_readable = on_readable;
  g_params.on_writable = on_writable;
  g_server = tcp_server_start(&g_params);
  if (!g_server) return -1;
  *port = g_params.port;
  web_set_port(g_params.port);
  return 0;
}

void http_stop() {
  if (!g_server) return;
  tcp_server_stop(g_server);
  g_server = nullptr;
}

void http_request_counter_reset() { request_counter_reset(); }

void http_set_debug_marker(const char* path) { g_debug_marker = path ? path : kDefaultDebugMarker; }

int http_connection_count() { return g_server ? static_cast<int>(g_server->connections.size()) : 0; }
