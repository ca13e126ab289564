// The event loop: handler objects, a message queue, periodic timers and
// socket watches, all on the event thread. No locks: other threads reach
// the loop only through the wake socket of the start-up.
#pragma once
#include <cstddef>
#include <cstdint>

#include "service/net/socket.h"

// A module is a record that derives from Handler; the object is identified
// by its address. The handler's result is ignored.
struct Handler;
using HandlerFn = void (*)(Handler* self, uint32_t id, int64_t a, int64_t b);
struct Handler {
  HandlerFn handler;
};

constexpr uint32_t XF_QUIT = 0x10000001;
constexpr uint32_t XF_IDLE = 0x10000002;
constexpr uint32_t XF_REGISTER = 0x10000003;
constexpr uint32_t XF_UNREGISTER = 0x10000004;
constexpr uint32_t XF_FREE = 0x10000005;  // a = a block from malloc
constexpr uint32_t XF_BROADCAST = 0x10000006;
constexpr uint32_t XF_SOCKET = 0x20000000;  // + n; a = socket, b = 1 / 2 / 4
constexpr uint32_t XF_TIMER = 0x40000000;   // + n; a = interval ms
constexpr uint32_t kMessageClassMask = 0xF0000000;

constexpr int kRegisterIdle = 1;  // fmessage_register flag: wants XF_IDLE

// Socket watch flags of fmessage_socket.
constexpr int kWatchRead = 1, kWatchWrite = 2, kWatchExcept = 4;
constexpr int kUnwatchRead = 0x10, kUnwatchWrite = 0x20, kUnwatchExcept = 0x40;

// The longest tick period, and the one the loop starts with.
constexpr uint32_t kMaxTickPeriod = 30000;
constexpr uint32_t kStartTickPeriod = 10000;
// Most socket watches at once: each descriptor set of the poller holds
// this many.
constexpr size_t kMaxWatches = kPollSetLimit;

int fmessage_init();
int fmessage_register(Handler* object, int flags);
int fmessage_unregister(Handler* object);
int fmessage_post(Handler* object, uint32_t id, int64_t a, int64_t b);
int fmessage_timer(Handler* object, uint32_t id, uint32_t interval_ms);
// Returns the id; 0 when the watch list is full.
uint32_t fmessage_socket(Handler* object, uint32_t id, sock_t socket, int flags);
// -1 quit, 1 more messages queued, 0 idle.
int fmessage_step();
int fmessage_wait(int ms);
void fmessage_shutdown();

// 0 before fmessage_init and after fmessage_shutdown, 1 running, 2 quitting
// (XF_QUIT delivered; posts are ignored).
int fmessage_state();

// For the main loop: the current tick period and the tick at which it ends.
uint32_t fmessage_tick_period();
uint32_t& fmessage_next_tick();
// Address family the loop runs: 2 (IPv4) or 23 (IPv6), and its socket
// address length (16 or 28). Safe to read from any thread.
int fmessage_family();
int fmessage_addr_len();

// Replaces the IPv6 probe of fmessage_init (nullptr restores it); the
// function returns the family to run. For tests of the IPv4 fallback.
void fmessage_override_probe(int (*probe)());

// What the loop holds right now, for diagnostics and tests.
struct FmessageCounts {
  size_t handlers, queued, timers, watches;
};
FmessageCounts fmessage_counts();
