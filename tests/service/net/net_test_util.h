// Helpers shared by the event-loop, socket and server tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service/core/clock.h"
#include "service/net/fmessage.h"
#include "service/net/socket.h"

namespace nettest {

struct Delivery {
  Handler* target;
  uint32_t id;
  int64_t a, b;
};

// Every delivery of every Recorder, in order.
inline std::vector<Delivery>& journal() {
  static std::vector<Delivery> all;
  return all;
}

struct Recorder : Handler {
  std::vector<Delivery> got;
  std::function<void(Recorder*, uint32_t, int64_t, int64_t)> hook;
  Recorder() { handler = &Recorder::receive; }
  // Test objects live on the stack: they leave the loop when they go.
  ~Recorder() { fmessage_unregister(this); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  static void receive(Handler* self, uint32_t id, int64_t a, int64_t b) {
    auto* r = static_cast<Recorder*>(self);
    r->got.push_back({self, id, a, b});
    journal().push_back({self, id, a, b});
    if (r->hook) r->hook(r, id, a, b);
  }
  size_t count(uint32_t id) const {
    size_t n = 0;
    for (const Delivery& d : got) n += d.id == id;
    return n;
  }
};

// Runs steps until the loop is idle or quits; returns the steps taken.
inline int drain(int limit = 1000) {
  int steps = 0;
  while (steps < limit) {
    ++steps;
    if (fmessage_step() != 1) break;
  }
  return steps;
}

// Steps the loop, waiting briefly on real sockets between idle steps,
// until done() holds; false when it never did within the rounds.
inline bool pump_until(const std::function<bool()>& done, int rounds = 500) {
  for (int i = 0; i < rounds; ++i) {
    if (done()) return true;
    if (fmessage_step() == 0) fmessage_wait(10);
  }
  return done();
}

// Runs the loop for a few rounds without a goal, for "nothing more happens".
inline void pump_rounds(int rounds) {
  for (int i = 0; i < rounds; ++i) {
    if (fmessage_step() == 0) fmessage_wait(5);
  }
}

inline SockAddr loopback_address(int family, int port) {
  SockAddr sa;
  IpAddress lo = ip_loopback(family);
  make_sockaddr(&sa, &lo, port);
  return sa;
}

// Waits (real time, bounded) until the socket is ready in a direction.
inline bool wait_ready(sock_t s, uint8_t want, int timeout_ms = 5000) {
  PollEntry e{s, want, 0};
  return socket_poll(std::span<PollEntry>(&e, 1), timeout_ms) == 1 && (e.ready & want);
}

// A UDP socket bound to the family's loopback with a system-chosen port.
inline sock_t bound_udp(int family, SockAddr* at) {
  sock_t s = udp_socket(family);
  if (s < 0) return s;
  SockAddr want = loopback_address(family, 0);
  if (socket_bind(s, want) < 0 || socket_local_address(s, at) < 0) {
    socket_close(s);
    return kNoSocket;
  }
  return s;
}

// A connected TCP client of the given family to loopback:port, or -1.
inline sock_t connect_client(int family, int port) {
  sock_t s = tcp_socket(family);
  if (s < 0) return s;
  SockAddr to = loopback_address(family, port);
  if (tcp_connect(s, to) < 0 && !socket_would_block()) {
    socket_close(s);
    return kNoSocket;
  }
  if (!wait_ready(s, kWritable) || socket_pending_error(s) != 0) {
    socket_close(s);
    return kNoSocket;
  }
  return s;
}

}  // namespace nettest
