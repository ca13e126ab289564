// The real HTTP server on a thread of its own (as the service's event
// thread runs it) and small blocking clients over loopback sockets.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/core/file_util.h"
#include "service/net/fmessage.h"
#include "service/net/socket.h"
#include "service/web/http_server.h"
#include "tests/support/process.h"

namespace webtest {

class LiveServer {
 public:
  LiveServer() {
    net_startup();
    thread_ = std::thread([this] { run(); });
    while (port_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LiveServer() {
    stop_ = true;
    thread_.join();
    net_cleanup();
  }
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;
  int port() const { return port_.load(); }
  bool started() const { return port_.load() > 0; }

 private:
  void run() {
    fmessage_init();
    // A random port from 20000 up; the bind moves on while one is taken.
    int port = -20000;
    if (http_start(&port) != 0) {
      port_ = -1;
      fmessage_shutdown();
      return;
    }
    port_ = port;
    while (!stop_.load()) {
      int r = fmessage_step();
      if (r < 0) break;
      if (r == 0) fmessage_wait(5);
    }
    http_stop();
    fmessage_shutdown();
  }
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> port_{0};
};

inline SockAddr loopback(int family, int port) {
  SockAddr sa;
  IpAddress lo = ip_loopback(family);
  make_sockaddr(&sa, &lo, port);
  return sa;
}

inline bool wait_ready(sock_t s, uint8_t want, int timeout_ms) {
  PollEntry e{s, want, 0};
  return socket_poll(std::span<PollEntry>(&e, 1), timeout_ms) == 1 && (e.ready & want);
}

// A connected client socket, or -1.
inline sock_t connect_to(int port, int family = kFamilyIPv4) {
  sock_t s = tcp_socket(family);
  if (s < 0) return s;
  if (tcp_connect(s, loopback(family, port)) < 0 && !socket_would_block()) {
    socket_close(s);
    return kNoSocket;
  }
  if (!wait_ready(s, kWritable, 5000) || socket_pending_error(s) != 0) {
    socket_close(s);
    return kNoSocket;
  }
  return s;
}

inline bool send_all(sock_t s, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    int n = socket_send(s, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (socket_would_block() || socket_interrupted())) {
      if (!wait_ready(s, kWritable, 5000)) return false;
      continue;
    }
    return false;
  }
  return true;
}

// What arrives within ms (stops early at end of stream); *closed tells
// whether the stream ended.
inline std::string read_for(sock_t s, int ms, bool* closed = nullptr) {
  std::string got;
  if (closed) *closed = false;
  int64_t end = kvtest::real_ms() + ms;
  for (;;) {
    int64_t left = end - kvtest::real_ms();
    if (left <= 0) break;
    if (!wait_ready(s, kReadable, static_cast<int>(left))) continue;
    char buf[65536];
    int n = socket_recv(s, buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (socket_would_block() || socket_interrupted())) continue;
    if (closed) *closed = true;
    break;
  }
  return got;
}

struct Reply {
  std::string head;  // up to and including the empty line
  std::string body;
  int status = 0;
  bool closed = false;  // the stream ended while reading
  std::string header(std::string_view name) const {
    std::string key = "\r\n" + std::string(name) + ": ";
    size_t at = head.find(key);
    if (at == std::string::npos) return {};
    size_t start = at + key.size();
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

// Reads one answer: its head, then Content-Length bytes of body (none
// with head_only). Bytes beyond it are kept in *rest for the next call.
inline bool read_reply(sock_t s, Reply* reply, std::string* rest, bool head_only = false, int timeout_ms = 5000) {
  *reply = Reply{};
  std::string data = rest ? *rest : std::string();
  int64_t end = kvtest::real_ms() + timeout_ms;
  size_t head_end = std::string::npos;
  size_t need = std::string::npos;
  for (;;) {
    if (head_end == std::string::npos) {
      size_t at = data.find("\r\n\r\n");
      if (at != std::string::npos) {
        head_end = at + 4;
        reply->head = data.substr(0, head_end);
        if (reply->head.starts_with("HTTP/1.1 ")) reply->status = std::atoi(reply->head.c_str() + 9);
        std::string length = reply->header("Content-Length");
        need = head_end + (head_only || length.empty() ? 0 : std::stoull(length));
      }
    }
    if (need != std::string::npos && data.size() >= need) {
      reply->body = data.substr(head_end, need - head_end);
      if (rest) *rest = data.substr(need);
      return true;
    }
    int64_t left = end - kvtest::real_ms();
    if (left <= 0) break;
    if (!wait_ready(s, kReadable, static_cast<int>(left))) continue;
    char buf[65536];
    int n = socket_recv(s, buf, sizeof buf);
    if (n > 0) {
      data.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (socket_would_block() || socket_interrupted())) continue;
    reply->closed = true;
    break;
  }
  if (rest) *rest = data;
  return false;
}

// One request on a fresh connection; the reply (status 0 when none came).
inline Reply exchange(int port, std::string_view request, bool head_only = false, int timeout_ms = 5000) {
  Reply reply;
  sock_t s = connect_to(port);
  if (s < 0) return reply;
  std::string rest;
  if (send_all(s, request)) read_reply(s, &reply, &rest, head_only, timeout_ms);
  socket_close(s);
  return reply;
}

inline std::string get_request(std::string_view path, int port, std::string_view extra = {}) {
  std::string r = "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  r += extra;
  r += "\r\n";
  return r;
}

// curl of the machine, when it runs here; "" otherwise.
inline std::string curl_path() {
  static std::string found = [] {
    const char* candidates[] = {"/usr/bin/curl", "/usr/local/bin/curl", "/bin/curl"};
    for (const char* c : candidates) {
      if (path_kind(c) != 2) continue;
      kvtest::ChildProcess child;
      if (!kvtest::child_start(c, {"--version"}, "", child)) continue;
      bool ok = kvtest::child_read_until(child, "Protocols", 5000);
      if (kvtest::child_wait(child, 5000) != 0) ok = false;
      if (ok) return std::string(c);
    }
    return std::string();
  }();
  return found;
}

// Runs curl with args; its exit code (-1 when it did not end) and output.
inline int run_curl(const std::vector<std::string>& args, std::string* output) {
  kvtest::ChildProcess child;
  if (!kvtest::child_start(curl_path(), args, "", child)) return -1;
  int code = kvtest::child_wait(child, 20000);
  if (code < 0) kvtest::child_kill(child);
  if (output) *output = child.output;
  return code;
}

}  // namespace webtest

#include "service/web/request_folder.h"
#include "service/web/web_request.h"

namespace webtest {

// What the page runner saw, for the test thread to look at afterwards.
struct RunnerLog {
  std::mutex lock;
  std::vector<std::string> urls;
  std::vector<std::string> requests;
  size_t count() {
    std::lock_guard<std::mutex> hold(lock);
    return urls.size();
  }
};
inline RunnerLog& runner_log() {
  static RunnerLog log;
  return log;
}

// A page runner standing in for the script engine: the page's text is its
// own output, as for a page without script blocks.
inline void echo_runner(const char* folder, const char* url, const char* file) {
  {
    std::lock_guard<std::mutex> hold(runner_log().lock);
    runner_log().urls.push_back(url);
    runner_log().requests.emplace_back(web_request_text());
  }
  std::string text;
  if (file_read_all(file, text) < 0) return;
  std::string leaf(file);
  std::string ext = leaf.substr(leaf.rfind('.'));
  char page[kRequestFolderPathMax + 16];
  if (request_file_free_name(folder, 200, ext.c_str(), page) < 0) return;
  request_file_write(page, text);
  answer_file((std::string(folder) + "/answer").c_str(), page);
}

}  // namespace webtest
