// A minimal SMTP server on loopback for the mail tests: one session at a
// time, every command accepted, each mail kept. Header-only: the tests that
// use it link the socket layer.
#pragma once
#include <string>
#include <vector>

#include "service/net/socket.h"

namespace kvtest {

// A minimal SMTP server: one session at a time, every command accepted.
struct SmtpSink {
  sock_t listener = kNoSocket;
  sock_t conn = kNoSocket;
  int port = 0;
  std::string in;
  bool in_data = false;
  std::string envelope;  // MAIL FROM / RCPT TO lines
  std::vector<std::string> mails;

  ~SmtpSink() {
    if (conn != kNoSocket) socket_close(conn);
    if (listener != kNoSocket) socket_close(listener);
  }
  bool open() {
    listener = tcp_socket(kFamilyIPv4);
    IpAddress lo = ip_loopback(kFamilyIPv4);
    SockAddr at, bound;
    make_sockaddr(&at, &lo, 0);
    if (listener == kNoSocket || socket_bind(listener, at) < 0 || socket_listen(listener, 4) < 0 ||
        socket_local_address(listener, &bound) < 0)
      return false;
    socket_set_nonblocking(listener);
    port = bound.port;
    return true;
  }
  void say(const std::string& s) { socket_send(conn, s.data(), s.size()); }
  void poll() {
    if (conn == kNoSocket) {
      conn = socket_accept(listener, nullptr);
      if (conn == kNoSocket) return;
      socket_set_nonblocking(conn);
      in.clear();
      in_data = false;
      say("220 sink\r\n");
    }
    char buffer[4096];
    for (;;) {
      int n = socket_recv(conn, buffer, sizeof buffer);
      if (n <= 0) break;
      in.append(buffer, static_cast<size_t>(n));
    }
    for (;;) {
      if (in_data) {
        size_t end = in.find("\r\n.\r\n");
        if (end == std::string::npos) return;
        mails.push_back(in.substr(0, end + 2));
        in.erase(0, end + 5);
        in_data = false;
        say("250 queued\r\n");
        continue;
      }
      size_t e = in.find("\r\n");
      if (e == std::string::npos) return;
      std::string line = in.substr(0, e);
      in.erase(0, e + 2);
      if (line.rfind("EHLO", 0) == 0) {
        say("250-sink\r\n250 OK\r\n");
      } else if (line.rfind("DATA", 0) == 0) {
        in_data = true;
        say("354 go on\r\n");
      } else if (line.rfind("QUIT", 0) == 0) {
        say("221 bye\r\n");
        socket_close(conn);
        conn = kNoSocket;
        return;
      } else {
        if (line.rfind("MAIL", 0) == 0 || line.rfind("RCPT", 0) == 0) envelope += line + "\n";
        say("250 OK\r\n");
      }
    }
  }
};

}  // namespace kvtest
