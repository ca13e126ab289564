// A relay stand-in on loopback for the notification tests: takes one
// request per connection, answers with the status it is told, closes.
#pragma once
#include <string>
#include <vector>

#include "service/net/socket.h"
#include "tests/service/net/net_test_util.h"

namespace notifytest {

struct StandInRelay {
  sock_t listener = kNoSocket;
  sock_t conn = kNoSocket;
  int port = 0;
  std::string current;
  std::vector<std::string> requests;  // complete requests, in order
  int status = 200;
  bool hang_up = false;  // close without an answer

  ~StandInRelay() {
    if (conn != kNoSocket) socket_close(conn);
    if (listener != kNoSocket) socket_close(listener);
  }
  bool open() {
    listener = tcp_socket(kFamilyIPv4);
    if (listener == kNoSocket) return false;
    SockAddr at = nettest::loopback_address(kFamilyIPv4, 0), bound;
    if (socket_bind(listener, at) < 0 || socket_listen(listener, 4) < 0 || socket_local_address(listener, &bound) < 0)
      return false;
    socket_set_nonblocking(listener);
    port = bound.port;
    return true;
  }
  static bool complete(const std::string& r) {
    size_t end = r.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t cl = r.find("Content-Length: ");
    size_t length = cl == std::string::npos ? 0 : std::stoul(r.substr(cl + 16));
    return r.size() >= end + 4 + length;
  }
  static std::string body(const std::string& r) {
    size_t end = r.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : r.substr(end + 4);
  }
  void poll() {
    if (conn == kNoSocket) {
      conn = socket_accept(listener, nullptr);
      if (conn == kNoSocket) return;
      socket_set_nonblocking(conn);
      current.clear();
    }
    char buffer[8192];
    for (;;) {
      int n = socket_recv(conn, buffer, sizeof buffer);
      if (n <= 0) break;
      current.append(buffer, static_cast<size_t>(n));
    }
    if (!complete(current)) return;
    requests.push_back(current);
    if (hang_up) {
      socket_close(conn);
      conn = kNoSocket;
      return;
    }
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: 2\r\n\r\nok";
    socket_send(conn, answer.data(), answer.size());
    socket_close(conn);
    conn = kNoSocket;
  }
};

}  // namespace notifytest
