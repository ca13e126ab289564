#include "service/net/fmessage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "service/core/clock.h"

namespace {

struct Registration {
  Handler* object;
  int flags;
};

struct Message {
  Handler* target;
  uint32_t id;
  int64_t a, b;
};

struct Timer {
  Handler* target;
  uint32_t id;
  uint32_t interval;
  int64_t argument;  // always 0
  uint32_t due;
};

struct Watch {
  Handler* target;
  uint32_t id;
  sock_t socket;
  int interest;  // kWatchRead | kWatchWrite | kWatchExcept
};

// A runaway poster must not eat the memory of a service that runs for
// months; far beyond anything the modules queue in practice.
constexpr size_t kMaxQueued = size_t{1} << 20;
// Bound of the final delivery at shutdown, against handlers that keep
// posting to each other.
constexpr size_t kShutdownDrainLimit = size_t{1} << 16;
// A poll interrupted by a signal is repeated, but not forever.
constexpr int kPollRetries = 8;

struct Loop {
  bool initialised = false;
  bool quit = false;
  bool library = false;
  int depth = 0;
  // Front of the lists is index 0: new entries go there.
  std::vector<Registration> handlers;
  std::deque<Message> queue;
  std::vector<Timer> timers;
  std::vector<Watch> watches;
  uint32_t tick_period = kStartTickPeriod;
  uint32_t next_tick = 0;
};

Loop g;
// Read by the wake signal on the controller thread.
std::atomic<int> g_family{kFamilyIPv4};
int (*g_probe)() = nullptr;

// A dropped XF_FREE still owes its block a release.
void discard(const Message& m) {
  if (!m.target && m.id == XF_FREE) std::free(reinterpret_cast<void*>(static_cast<intptr_t>(m.a)));
}

template <typename Pred>
void drop_queued(Pred pred) {
  auto keep = std::stable_partition(g.queue.begin(), g.queue.end(), [&](const Message& m) { return !pred(m); });
  for (auto it = keep; it != g.queue.end(); ++it) discard(*it);
  g.queue.erase(keep, g.queue.end());
}

bool is_readiness_of(const Message& m, const Watch& w) {
  return m.target == w.target && m.id == w.id && m.a == w.socket;
}

bool registered(Handler* object) {
  return std::any_of(g.handlers.begin(), g.handlers.end(), [&](const Registration& r) { return r.object == object; });
}

void call(Handler* object, uint32_t id, int64_t a, int64_t b) {
  if (object && object->handler) object->handler(object, id, a, b);
}

void recompute_tick_period() {
  uint32_t period = kMaxTickPeriod;
  for (const Timer& t : g.timers) period = std::min(period, t.interval);
  if (period == g.tick_period) return;
  g.tick_period = period;
  g.next_tick = tick_ms() + period;
}

int queue_message(Handler* target, uint32_t id, int64_t a, int64_t b) {
  Message m{target, id, a, b};
  if (g.quit || g.queue.size() >= kMaxQueued) {
    discard(m);
    return -1;
  }
  g.queue.push_back(m);
  return 0;
}

// Each late timer posts at most three times per step; a longer gap is
// skipped, so a stalled loop does not flood its handlers on waking.
void run_timers() {
  uint32_t now = tick_ms();
  for (Timer& t : g.timers) {
    for (int posts = 0; tick_diff(now, t.due) >= 0; ++posts) {
      if (posts == 3) {
        uint32_t late = now - t.due;
        t.due += (late / t.interval + 1) * t.interval;
        break;
      }
      queue_message(t.target, t.id, t.interval, t.argument);
      t.due += t.interval;
    }
  }
}

void deliver(const Message& m) {
  if (m.target) {
    if (registered(m.target)) call(m.target, m.id, m.a, m.b);
    return;
  }
  if (m.id == XF_QUIT) {
    g.quit = true;
  } else if (m.id == XF_FREE) {
    discard(m);
  } else if (m.id == XF_BROADCAST) {
    // Handlers may register or unregister others while the broadcast runs:
    // walk a copy and skip whoever has gone meanwhile.
    std::vector<Registration> all = g.handlers;
    for (const Registration& r : all) {
      if (registered(r.object)) call(r.object, m.id, m.a, m.b);
    }
  }
}

void send_idle() {
  std::vector<Registration> all = g.handlers;
  for (const Registration& r : all) {
    if (!(r.flags & kRegisterIdle)) continue;
    if (registered(r.object)) call(r.object, XF_IDLE, 0, 0);
  }
}

int ipv6_probe() {
  sock_t s = udp_socket(kFamilyIPv6);
  if (s < 0) return kFamilyIPv4;
  socket_set_nonblocking(s);
  // A system-chosen port: a fixed one may be held by another program, which
  // would silently cost this run its IPv6.
  SockAddr at, bound;
  IpAddress loopback = ip_loopback(kFamilyIPv6);
  make_sockaddr(&at, &loopback, 0);
  bool ok = socket_bind(s, at) == 0 && socket_local_address(s, &bound) == 0 && socket_sendto(s, "1", 1, bound) == 1;
  socket_close(s);
  if (!ok) return kFamilyIPv4;
  std::printf("\n\n..... use ipv6 ......\n\n\n");
  std::fflush(stdout);
  return kFamilyIPv6;
}

Watch* find_watch(sock_t socket) {
  for (Watch& w : g.watches) {
    if (w.socket == socket) return &w;
  }
  return nullptr;
}

void remove_watches(Handler* object, uint32_t id, sock_t socket) {
  auto match = [&](const Watch& w) {
    return (!object || w.target == object) && (id == 0 || w.id == id) && (socket == 0 || w.socket == socket);
  };
  for (const Watch& w : g.watches) {
    if (match(w)) drop_queued([&](const Message& m) { return is_readiness_of(m, w); });
  }
  std::erase_if(g.watches, match);
}

// Directions of each watch that already have a readiness message waiting.
std::vector<int> queued_directions() {
  std::vector<int> queued(g.watches.size(), 0);
  for (const Message& m : g.queue) {
    if ((m.id & kMessageClassMask) != XF_SOCKET) continue;
    for (size_t i = 0; i < g.watches.size(); ++i) {
      if (is_readiness_of(m, g.watches[i]) && m.b >= 1 && m.b <= 7) queued[i] |= static_cast<int>(m.b);
    }
  }
  return queued;
}

}  // namespace

int fmessage_init() {
  if (g.initialised) return 0;
  g = Loop{};
  g.library = net_startup() == 0;
  g_family = g_probe ? g_probe() : ipv6_probe();
  g.initialised = true;
  g.tick_period = kStartTickPeriod;
  g.next_tick = tick_ms() + kStartTickPeriod;
  return 0;
}

int fmessage_register(Handler* object, int flags) {
  if (!g.initialised || !object) return -1;
  g.handlers.insert(g.handlers.begin(), Registration{object, flags});
  return 0;
}

int fmessage_unregister(Handler* object) {
  if (!g.initialised) return -1;
  if (!object) {
    drop_queued([](const Message&) { return true; });
    g.watches.clear();
    std::erase_if(g.timers, [](const Timer& t) { return t.target == nullptr; });
    recompute_tick_period();
    return 0;
  }
  auto it = std::find_if(g.handlers.begin(), g.handlers.end(), [&](const Registration& r) { return r.object == object; });
  if (it != g.handlers.end()) g.handlers.erase(it);
  drop_queued([&](const Message& m) { return m.target == object; });
  std::erase_if(g.watches, [&](const Watch& w) { return w.target == object; });
  std::erase_if(g.timers, [&](const Timer& t) { return t.target == object; });
  recompute_tick_period();
  return 0;
}

int fmessage_post(Handler* object, uint32_t id, int64_t a, int64_t b) {
  if (!g.initialised) {
    discard(Message{object, id, a, b});
    return -1;
  }
  if (id == XF_REGISTER) return fmessage_register(object, static_cast<int>(a));
  if (id == XF_UNREGISTER) return fmessage_unregister(object);
  return queue_message(object, id, a, b);
}

int fmessage_timer(Handler* object, uint32_t id, uint32_t interval_ms) {
  if (!g.initialised) return -1;
  uint32_t now = tick_ms();
  if (id && interval_ms) {
    auto it = std::find_if(g.timers.begin(), g.timers.end(), [&](const Timer& t) { return t.target == object && t.id == id; });
    if (it != g.timers.end()) {
      it->interval = interval_ms;
      it->due = now + interval_ms;
    } else {
      g.timers.insert(g.timers.begin(), Timer{object, id, interval_ms, 0, now + interval_ms});
    }
  } else {
    auto match = [&](const Timer& t) { return t.target == object && (id == 0 || t.id == id); };
    for (const Timer& t : g.timers) {
      if (match(t)) drop_queued([&](const Message& m) { return m.target == t.target && m.id == t.id; });
    }
    std::erase_if(g.timers, match);
  }
  recompute_tick_period();
  return 0;
}

uint32_t fmessage_socket(Handler* object, uint32_t id, sock_t socket, int flags) {
  if (!g.initialised) return id;
  if (!object || !id || !flags) {
    remove_watches(object, id, socket);
    return id;
  }
  if (socket == kNoSocket) {
    std::printf("+++ Warn : in fmessage_socket ( socket = -1, msgid = %x \n", id - XF_SOCKET);
    std::fflush(stdout);
    return id;
  }
  if ((id & kMessageClassMask) != XF_SOCKET) {
    std::printf("+++ Warn : in fmessage_socket (  ) msgid should use ( XF_SOCKET + xxx )\n");
    std::fflush(stdout);
    return id;
  }
  Watch* w = find_watch(socket);
  if (!w) {
    if (!(flags & (kWatchRead | kWatchWrite | kWatchExcept))) return id;
    if (g.watches.size() >= kMaxWatches) return 0;
    g.watches.insert(g.watches.begin(), Watch{object, id, socket, 0});
    w = &g.watches.front();
    socket_set_nonblocking(socket);
  }
  int removed = (flags >> 4) & (kWatchRead | kWatchWrite | kWatchExcept);
  for (int direction : {kWatchRead, kWatchWrite, kWatchExcept}) {
    if (!(removed & direction)) continue;
    const Watch old = *w;
    drop_queued([&](const Message& m) { return is_readiness_of(m, old) && m.b == direction; });
  }
  w->target = object;
  w->id = id;
  w->interest = (w->interest | (flags & (kWatchRead | kWatchWrite | kWatchExcept))) & ~removed;
  return id;
}

int fmessage_wait(int ms) {
  if (!g.initialised) return -1;
  if (ms < 0) ms = 0;
  std::vector<int> queued = queued_directions();
  std::vector<PollEntry> entries;
  std::vector<size_t> owner;
  size_t in_set[8] = {};
  for (size_t i = 0; i < g.watches.size(); ++i) {
    const Watch& w = g.watches[i];
    uint8_t want = 0;
    for (int direction : {kWatchRead, kWatchWrite, kWatchExcept}) {
      if (!(w.interest & direction) || (queued[i] & direction) || in_set[direction] >= kPollSetLimit) continue;
      want |= static_cast<uint8_t>(direction);
      ++in_set[direction];
    }
    if (!want) continue;
    entries.push_back(PollEntry{w.socket, want, 0});
    owner.push_back(i);
  }
  if (ms == 0 && entries.empty()) return 0;
  // A step's poll only looks; the main loop's wait runs a little past the
  // tick so that the timers it waits for are due when it returns.
  int timeout = ms > 0 ? ms + 1 : 0;
  int n = socket_poll(entries, timeout);
  if (ms > 0) return n;
  for (int retry = 0; n < 0 && socket_interrupted() && retry < kPollRetries; ++retry) n = socket_poll(entries, 0);
  if (n <= 0) return n;
  for (size_t k = 0; k < entries.size(); ++k) {
    uint8_t ready = entries[k].ready;
    if (!ready) continue;
    Watch& w = g.watches[owner[k]];
    if (ready & kReadable) queue_message(w.target, w.id, w.socket, kWatchRead);
    if (ready & kWritable) {
      // Write interest is one-shot: the owner asks again when it has more.
      w.interest &= ~kWatchWrite;
      queue_message(w.target, w.id, w.socket, kWatchWrite);
    }
    if (ready & kException) queue_message(w.target, w.id, w.socket, kWatchExcept);
  }
  return n;
}

int fmessage_step() {
  if (!g.initialised || g.depth) return 0;
  g.depth = 1;
  fmessage_wait(0);
  run_timers();
  if (!g.queue.empty()) {
    Message m = g.queue.front();
    g.queue.pop_front();
    deliver(m);
  }
  if (g.quit || !g.initialised) {
    g.depth = 0;
    return -1;
  }
  if (!g.queue.empty()) {
    g.depth = 0;
    return 1;
  }
  // Idle handlers run under the guard too, so none can nest the loop.
  send_idle();
  g.depth = 0;
  // Whatever an idle handler posted is due now, not at the next tick.
  return g.queue.empty() ? 0 : 1;
}

void fmessage_shutdown() {
  // From inside a handler the lists are in use; the owner of the loop ends
  // it after the last step.
  if (!g.initialised || g.depth) return;
  g.depth = 1;
  for (size_t delivered = 0; !g.queue.empty() && delivered < kShutdownDrainLimit; ++delivered) {
    Message m = g.queue.front();
    g.queue.pop_front();
    deliver(m);
  }
  g.depth = 0;
  g.initialised = false;
  while (!g.handlers.empty()) {
    Handler* object = g.handlers.front().object;
    g.handlers.erase(g.handlers.begin());
    call(object, XF_QUIT, 0, 0);
  }
  g.timers.clear();
  g.watches.clear();
  if (g.library) net_cleanup();
  g.library = false;
  for (const Message& m : g.queue) discard(m);
  g.queue.clear();
  g.quit = false;
}

int fmessage_state() {
  if (!g.initialised) return 0;
  return g.quit ? 2 : 1;
}

uint32_t fmessage_tick_period() { return g.tick_period; }
uint32_t& fmessage_next_tick() { return g.next_tick; }
int fmessage_family() { return g_family.load(std::memory_order_relaxed); }
int fmessage_addr_len() { return fmessage_family() == kFamilyIPv6 ? 28 : 16; }

void fmessage_override_probe(int (*probe)()) { g_probe = probe; }

FmessageCounts fmessage_counts() { return {g.handlers.size(), g.queue.size(), g.timers.size(), g.watches.size()}; }
