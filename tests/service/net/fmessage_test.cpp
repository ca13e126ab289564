#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "service/net/fmessage.h"
#include "tests/service/net/net_test_util.h"
#include "tests/support/test_support.h"

namespace {

using nettest::Delivery;
using nettest::drain;
using nettest::journal;
using nettest::Recorder;

constexpr uint32_t kStart = 100000;
constexpr uint32_t kTimerA = XF_TIMER + 1;
constexpr uint32_t kTimerB = XF_TIMER + 2;
constexpr uint32_t kSock = XF_SOCKET + 3;
constexpr uint32_t kPlain = 0x60000001;

class LoopTest : public ::testing::Test {
 protected:
  kvtest::FakeClock clock{kStart};
  void SetUp() override {
    journal().clear();
    ASSERT_EQ(fmessage_init(), 0);
  }
  void TearDown() override {
    fmessage_shutdown();
    for (sock_t s : sockets_) socket_close(s);
  }
  // A UDP socket on loopback that has one datagram waiting to be read.
  sock_t readable_socket() {
    SockAddr at;
    sock_t s = nettest::bound_udp(fmessage_family(), &at);
    EXPECT_GE(s, 0);
    EXPECT_EQ(socket_sendto(s, "x", 1, at), 1);
    EXPECT_TRUE(nettest::wait_ready(s, kReadable));
    sockets_.push_back(s);
    return s;
  }
  sock_t writable_socket() {
    SockAddr at;
    sock_t s = nettest::bound_udp(fmessage_family(), &at);
    EXPECT_GE(s, 0);
    sockets_.push_back(s);
    return s;
  }
  std::vector<sock_t> sockets_;
};

TEST_F(LoopTest, LateTimerPostsThreeTimesThenKeepsItsSchedule) {
  Recorder r;
  fmessage_register(&r, 0);
  fmessage_timer(&r, kTimerA, 6000);  // due at kStart + 6000
  clock.advance_ms(26000);              // now 20 s past the due time
  drain();
  ASSERT_EQ(r.count(kTimerA), 3u);
  for (const Delivery& d : r.got) {
    EXPECT_EQ(d.a, 6000);
    EXPECT_EQ(d.b, 0);
  }
  // Due times 6000, 12000 and 18000 were posted; 24000 was skipped.
  clock.set_tick(kStart + 29999);
  drain();
  EXPECT_EQ(r.count(kTimerA), 3u);
  clock.set_tick(kStart + 30000);
  drain();
  EXPECT_EQ(r.count(kTimerA), 4u);
  clock.set_tick(kStart + 36000);
  drain();
  EXPECT_EQ(r.count(kTimerA), 5u);
}

TEST_F(LoopTest, TimerCatchesUpWithinThreePeriods) {
  Recorder r;
  fmessage_register(&r, 0);
  fmessage_timer(&r, kTimerA, 1000);
  clock.advance_ms(999);
  drain();
  EXPECT_EQ(r.count(kTimerA), 0u);
  clock.advance_ms(1);
  drain();
  EXPECT_EQ(r.count(kTimerA), 1u);
  clock.advance_ms(2500);  // due at +2000 and +3000
  drain();
  EXPECT_EQ(r.count(kTimerA), 3u);
  clock.advance_ms(500);  // +4000
  drain();
  EXPECT_EQ(r.count(kTimerA), 4u);
}

TEST_F(LoopTest, TimerSurvivesTheTickWrap) {
  clock.set_tick(0xFFFFF000u);
  Recorder r;
  fmessage_register(&r, 0);
  fmessage_timer(&r, kTimerA, 0x2000);
  clock.advance_ms(0x1FFF);
  drain();
  EXPECT_EQ(r.count(kTimerA), 0u);
  clock.advance_ms(1);
  drain();
  EXPECT_EQ(r.count(kTimerA), 1u);
}

TEST_F(LoopTest, SettingATimerAgainRestartsIt) {
  Recorder r;
  fmessage_register(&r, 0);
  fmessage_timer(&r, kTimerA, 5000);
  clock.advance_ms(4000);
  fmessage_timer(&r, kTimerA, 5000);  // now due at kStart + 9000
  EXPECT_EQ(fmessage_counts().timers, 1u);
  clock.advance_ms(1000);
  drain();
  EXPECT_EQ(r.count(kTimerA), 0u);
  clock.advance_ms(4000);
  drain();
  EXPECT_EQ(r.count(kTimerA), 1u);
}

TEST_F(LoopTest, RemovingTimersDropsTheirQueuedMessages) {
  Recorder r, other;
  fmessage_register(&r, 0);
  fmessage_register(&other, 0);
  fmessage_timer(&r, kTimerA, 1000);
  fmessage_timer(&r, kTimerB, 1000);
  fmessage_timer(&other, kTimerA, 1000);
  clock.advance_ms(1000);
  // The filler is delivered first; the timer posts of this step stay queued.
  fmessage_post(&other, kPlain, 0, 0);
  fmessage_step();
  EXPECT_EQ(fmessage_counts().queued, 3u);
  fmessage_timer(&r, kTimerA, 0);
  EXPECT_EQ(fmessage_counts().queued, 2u);
  EXPECT_EQ(fmessage_counts().timers, 2u);
  fmessage_timer(&r, 0, 0);  // all of r's timers
  EXPECT_EQ(fmessage_counts().queued, 1u);
  EXPECT_EQ(fmessage_counts().timers, 1u);
  clock.advance_ms(5000);
  drain();
  EXPECT_EQ(r.count(kTimerA) + r.count(kTimerB), 0u);
  EXPECT_GE(other.count(kTimerA), 2u);
}

TEST_F(LoopTest, TickPeriodFollowsTheShortestTimer) {
  Recorder r, s;
  fmessage_register(&r, 0);
  fmessage_register(&s, 0);
  struct Step {
    Handler* target;
    uint32_t id, interval;
    uint32_t advance_before;
    uint32_t period;
    bool next_tick_moves;
  };
  const Step steps[] = {
      {nullptr, 0, 0, 0, kStartTickPeriod, false},  // the start value
      {&r, kTimerA, 500, 0, 500, true},
      {&r, kTimerB, 2000, 100, 500, false},  // longer: period and tick stay
      {&s, kTimerA, 40000, 0, 500, false},
      {&r, kTimerA, 0, 100, 2000, true},     // removed: next shortest
      {&r, kTimerB, 35000, 0, 30000, true},  // never above 30000
      {&s, kTimerA, 0, 0, 30000, false},     // unchanged period keeps its tick
  };
  for (const Step& st : steps) {
    clock.advance_ms(st.advance_before);
    uint32_t before = fmessage_next_tick();
    if (st.target) fmessage_timer(st.target, st.id, st.interval);
    EXPECT_EQ(fmessage_tick_period(), st.period);
    if (st.next_tick_moves) {
      EXPECT_EQ(fmessage_next_tick(), clock.tick() + st.period);
    } else {
      EXPECT_EQ(fmessage_next_tick(), before);
    }
  }
  // Unregistering recomputes as well.
  fmessage_timer(&s, kTimerB, 700);
  EXPECT_EQ(fmessage_tick_period(), 700u);
  fmessage_unregister(&s);
  EXPECT_EQ(fmessage_tick_period(), 30000u);
}

TEST_F(LoopTest, UnregisterLeavesNothingBehind) {
  Recorder x, y;
  fmessage_register(&y, 0);
  fmessage_register(&x, 0);
  sock_t s = readable_socket();
  fmessage_socket(&x, kSock, s, kWatchRead);
  fmessage_timer(&x, kTimerA, 1000);
  fmessage_timer(&y, kTimerA, 1000);
  fmessage_post(&y, kPlain, 1, 0);
  fmessage_post(&x, kPlain, 2, 0);
  fmessage_post(&x, kPlain, 3, 0);
  clock.advance_ms(1000);
  fmessage_step();  // polls the socket, posts both timers, delivers y's message
  EXPECT_EQ(y.count(kPlain), 1u);
  EXPECT_EQ(fmessage_counts().queued, 5u);  // x: 2 plain, readable, timer; y: timer

  fmessage_unregister(&x);
  FmessageCounts n = fmessage_counts();
  EXPECT_EQ(n.handlers, 1u);
  EXPECT_EQ(n.queued, 1u);
  EXPECT_EQ(n.timers, 1u);
  EXPECT_EQ(n.watches, 0u);
  clock.advance_ms(1000);
  nettest::pump_rounds(5);
  EXPECT_TRUE(x.got.empty());
  EXPECT_EQ(y.count(kTimerA), 2u);
}

TEST_F(LoopTest, UnregisterOfNullDropsQueueAndWatches) {
  Recorder x;
  fmessage_register(&x, 0);
  fmessage_socket(&x, kSock, writable_socket(), kWatchWrite);
  fmessage_timer(&x, kTimerA, 1000);
  fmessage_timer(nullptr, kTimerB, 1000);
  fmessage_post(&x, kPlain, 0, 0);
  fmessage_post(nullptr, XF_FREE, reinterpret_cast<intptr_t>(std::malloc(32)), 0);
  fmessage_unregister(nullptr);
  FmessageCounts n = fmessage_counts();
  EXPECT_EQ(n.handlers, 1u);
  EXPECT_EQ(n.queued, 0u);  // the dropped XF_FREE still releases (leak check)
  EXPECT_EQ(n.watches, 0u);
  EXPECT_EQ(n.timers, 1u);  // only the target-less timer went
}

TEST_F(LoopTest, WriteReadinessIsOneShot) {
  Recorder r;
  fmessage_register(&r, 0);
  sock_t s = writable_socket();
  fmessage_socket(&r, kSock, s, kWatchWrite);
  fmessage_socket(&r, kSock, s, kWatchWrite);
  EXPECT_EQ(fmessage_counts().watches, 1u);
  nettest::pump_rounds(5);
  ASSERT_EQ(r.count(kSock), 1u);
  EXPECT_EQ(r.got[0].a, s);
  EXPECT_EQ(r.got[0].b, kWatchWrite);
  nettest::pump_rounds(5);
  EXPECT_EQ(r.count(kSock), 1u);
  fmessage_socket(&r, kSock, s, kWatchWrite);
  nettest::pump_rounds(5);
  EXPECT_EQ(r.count(kSock), 2u);
  EXPECT_EQ(fmessage_counts().watches, 1u);  // empty interest stays listed
}

TEST_F(LoopTest, QueuedReadinessIsNotPostedAgain) {
  Recorder r, filler;
  fmessage_register(&r, 0);
  fmessage_register(&filler, 0);
  sock_t s = readable_socket();
  r.hook = [](Recorder*, uint32_t id, int64_t a, int64_t) {
    if (id == kSock) wake_socket_drain(a);
  };
  fmessage_socket(&r, kSock, s, kWatchRead);
  for (int i = 0; i < 4; ++i) fmessage_post(&filler, kPlain, i, 0);
  drain();  // every step polls while the readable message waits behind the fillers
  EXPECT_EQ(filler.count(kPlain), 4u);
  EXPECT_EQ(r.count(kSock), 1u);
  nettest::pump_rounds(5);
  EXPECT_EQ(r.count(kSock), 1u);  // read, so nothing more
}

TEST_F(LoopTest, RemovingInterestDropsQueuedReadiness) {
  Recorder r, filler;
  fmessage_register(&r, 0);
  fmessage_register(&filler, 0);
  sock_t s = readable_socket();
  fmessage_socket(&r, kSock, s, kWatchRead);
  fmessage_post(&filler, kPlain, 0, 0);
  fmessage_step();
  EXPECT_EQ(fmessage_counts().queued, 1u);
  fmessage_socket(&r, kSock, s, kUnwatchRead);
  EXPECT_EQ(fmessage_counts().queued, 0u);
  EXPECT_EQ(fmessage_counts().watches, 1u);
  nettest::pump_rounds(5);
  EXPECT_EQ(r.count(kSock), 0u);
  // Asking again brings the pending datagram back.
  r.hook = [](Recorder*, uint32_t id, int64_t a, int64_t) {
    if (id == kSock) wake_socket_drain(a);
  };
  fmessage_socket(&r, kSock, s, kWatchRead);
  nettest::pump_rounds(5);
  EXPECT_EQ(r.count(kSock), 1u);
}

TEST_F(LoopTest, RemoveModeMatchesObjectIdAndSocket) {
  Recorder r, q;
  fmessage_register(&r, 0);
  fmessage_register(&q, 0);
  sock_t s1 = writable_socket(), s2 = writable_socket(), s3 = writable_socket();
  fmessage_socket(&r, kSock, s1, kWatchRead);
  fmessage_socket(&r, kSock + 1, s2, kWatchRead);
  fmessage_socket(&q, kSock, s3, kWatchRead);
  fmessage_socket(&r, kSock + 1, 0, 0);  // r's watches with that id
  EXPECT_EQ(fmessage_counts().watches, 2u);
  fmessage_socket(nullptr, 0, s3, 0);  // any watch on s3
  EXPECT_EQ(fmessage_counts().watches, 1u);
  fmessage_socket(&r, 0, 0, 0);  // all of r's
  EXPECT_EQ(fmessage_counts().watches, 0u);
}

TEST_F(LoopTest, SocketMisuseWarnsAndChangesNothing) {
  Recorder r;
  fmessage_register(&r, 0);
  struct Case {
    uint32_t id;
    sock_t socket;
    const char* line;
  };
  const Case cases[] = {
      {XF_SOCKET + 5, kNoSocket, "+++ Warn : in fmessage_socket ( socket = -1, msgid = 5 \n"},
      {XF_TIMER + 5, 0, "+++ Warn : in fmessage_socket (  ) msgid should use ( XF_SOCKET + xxx )\n"},
  };
  sock_t s = writable_socket();
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    fmessage_socket(&r, c.id, c.socket == 0 ? s : c.socket, kWatchRead);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    EXPECT_EQ(fmessage_counts().watches, 0u);
  }
  // Only remove bits on an unwatched socket: nothing is created.
  fmessage_socket(&r, kSock, s, kUnwatchRead);
  EXPECT_EQ(fmessage_counts().watches, 0u);
}

TEST_F(LoopTest, WatchListHasABound) {
  Recorder r;
  fmessage_register(&r, 0);
  // Numbers that are no sockets: only the bookkeeping is under test.
  for (size_t i = 0; i < kMaxWatches; ++i) {
    ASSERT_EQ(fmessage_socket(&r, kSock, static_cast<sock_t>(100000 + i), kWatchRead), kSock);
  }
  EXPECT_EQ(fmessage_socket(&r, kSock, 99999, kWatchRead), 0u);
  EXPECT_EQ(fmessage_counts().watches, kMaxWatches);
  fmessage_unregister(&r);
  EXPECT_EQ(fmessage_counts().watches, 0u);
}

TEST_F(LoopTest, BroadcastReachesEveryHandlerFrontFirst) {
  Recorder a, b, c;
  fmessage_register(&a, 0);
  fmessage_register(&b, 0);
  fmessage_register(&c, 0);
  fmessage_post(nullptr, XF_BROADCAST, 7, 8);
  drain();
  ASSERT_EQ(journal().size(), 3u);
  EXPECT_EQ(journal()[0].target, &c);
  EXPECT_EQ(journal()[1].target, &b);
  EXPECT_EQ(journal()[2].target, &a);
  for (const Delivery& d : journal()) {
    EXPECT_EQ(d.id, XF_BROADCAST);
    EXPECT_EQ(d.a, 7);
    EXPECT_EQ(d.b, 8);
  }
  // A handler that unregisters a later one during the broadcast.
  journal().clear();
  b.hook = [&](Recorder*, uint32_t, int64_t, int64_t) { fmessage_unregister(&a); };
  fmessage_post(nullptr, XF_BROADCAST, 0, 0);
  drain();
  EXPECT_EQ(journal().size(), 2u);
  EXPECT_EQ(a.count(XF_BROADCAST), 1u);
}

TEST_F(LoopTest, FreeReleasesTheBlock) {
  // Under the sanitizer build a block that is not released fails the run.
  void* block = std::malloc(100);
  std::memset(block, 1, 100);
  EXPECT_EQ(fmessage_post(nullptr, XF_FREE, reinterpret_cast<intptr_t>(block), 0), 0);
  EXPECT_EQ(fmessage_counts().queued, 1u);
  drain();
  EXPECT_EQ(fmessage_counts().queued, 0u);
}

TEST_F(LoopTest, QuitEndsTheLoopAndIgnoresPosts) {
  Recorder r;
  fmessage_register(&r, 0);
  fmessage_post(nullptr, XF_QUIT, 0, 0);
  fmessage_post(&r, kPlain, 0, 0);
  EXPECT_EQ(fmessage_step(), -1);
  EXPECT_EQ(fmessage_state(), 2);
  EXPECT_EQ(fmessage_post(&r, kPlain, 1, 0), -1);
  EXPECT_EQ(fmessage_counts().queued, 1u);  // queued before the quit
  EXPECT_EQ(fmessage_step(), -1);
  EXPECT_EQ(fmessage_step(), -1);
  EXPECT_EQ(r.count(kPlain), 1u);
}

TEST_F(LoopTest, MessagesForUnregisteredTargetsAreDropped) {
  Recorder r, gone;
  fmessage_register(&r, 0);
  fmessage_post(&gone, kPlain, 0, 0);
  fmessage_post(nullptr, kPlain, 0, 0);  // no target, unknown id
  fmessage_post(&r, kPlain, 5, 6);
  drain();
  EXPECT_TRUE(gone.got.empty());
  ASSERT_EQ(r.got.size(), 1u);
  EXPECT_EQ(r.got[0].a, 5);
  EXPECT_EQ(r.got[0].b, 6);
}

TEST_F(LoopTest, RegisterAndUnregisterPostsActAtOnce) {
  Recorder r;
  EXPECT_EQ(fmessage_post(&r, XF_REGISTER, kRegisterIdle, 0), 0);
  EXPECT_EQ(fmessage_counts().handlers, 1u);
  EXPECT_EQ(fmessage_counts().queued, 0u);
  EXPECT_EQ(fmessage_step(), 0);
  EXPECT_EQ(r.count(XF_IDLE), 1u);
  fmessage_post(&r, kPlain, 0, 0);
  EXPECT_EQ(fmessage_post(&r, XF_UNREGISTER, 0, 0), 0);
  EXPECT_EQ(fmessage_counts().handlers, 0u);
  EXPECT_EQ(fmessage_counts().queued, 0u);
}

TEST_F(LoopTest, IdleGoesOnlyToIdleHandlersWhenTheQueueEmpties) {
  Recorder idle, plain;
  fmessage_register(&idle, kRegisterIdle);
  fmessage_register(&plain, 0);
  fmessage_post(&plain, kPlain, 0, 0);
  fmessage_post(&plain, kPlain, 1, 0);
  EXPECT_EQ(fmessage_step(), 1);
  EXPECT_EQ(idle.count(XF_IDLE), 0u);
  EXPECT_EQ(fmessage_step(), 0);
  EXPECT_EQ(idle.count(XF_IDLE), 1u);
  ASSERT_EQ(idle.got.size(), 1u);
  EXPECT_EQ(idle.got[0].a, 0);
  EXPECT_EQ(idle.got[0].b, 0);
  EXPECT_EQ(plain.count(XF_IDLE), 0u);
  // What an idle handler posts is reported as pending at once.
  idle.hook = [&](Recorder*, uint32_t id, int64_t, int64_t) {
    if (id == XF_IDLE && idle.count(XF_IDLE) == 2) fmessage_post(&plain, kPlain, 2, 0);
  };
  EXPECT_EQ(fmessage_step(), 1);
  EXPECT_EQ(fmessage_step(), 0);
  EXPECT_EQ(plain.count(kPlain), 3u);
}

TEST_F(LoopTest, StepRefusesToNest) {
  Recorder r;
  fmessage_register(&r, kRegisterIdle);
  std::vector<int> inner;
  r.hook = [&](Recorder*, uint32_t, int64_t, int64_t) { inner.push_back(fmessage_step()); };
  fmessage_post(&r, kPlain, 0, 0);
  fmessage_post(&r, kPlain, 1, 0);
  EXPECT_EQ(fmessage_step(), 1);
  EXPECT_EQ(r.count(kPlain), 1u);
  EXPECT_EQ(fmessage_counts().queued, 1u);
  EXPECT_EQ(fmessage_step(), 0);
  EXPECT_EQ(r.count(kPlain), 2u);
  EXPECT_EQ(r.count(XF_IDLE), 1u);  // idle handlers cannot nest either
  EXPECT_EQ(inner, (std::vector<int>{0, 0, 0}));
}

TEST_F(LoopTest, ShutdownDeliversTheQueueThenQuitsEveryHandler) {
  Recorder a, b;
  fmessage_register(&a, 0);
  fmessage_register(&b, 0);  // front of the list
  fmessage_timer(&a, kTimerA, 1000);
  fmessage_socket(&b, kSock, writable_socket(), kWatchRead);
  std::vector<int> posts_during_quit;
  a.hook = [&](Recorder*, uint32_t id, int64_t x, int64_t) {
    if (id == kPlain && x == 1) fmessage_post(&b, kPlain, 3, 0);  // posted meanwhile
    if (id == XF_QUIT) posts_during_quit.push_back(fmessage_post(&b, kPlain, 4, 0));
  };
  fmessage_post(&a, kPlain, 1, 0);
  fmessage_post(&b, kPlain, 2, 0);
  fmessage_shutdown();
  struct Seen {
    Handler* target;
    uint32_t id;
    int64_t a;
  };
  const Seen expected[] = {{&a, kPlain, 1}, {&b, kPlain, 2}, {&b, kPlain, 3}, {&b, XF_QUIT, 0}, {&a, XF_QUIT, 0}};
  ASSERT_EQ(journal().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(journal()[i].target, expected[i].target) << i;
    EXPECT_EQ(journal()[i].id, expected[i].id) << i;
    EXPECT_EQ(journal()[i].a, expected[i].a) << i;
  }
  EXPECT_EQ(posts_during_quit, std::vector<int>{-1});
  FmessageCounts n = fmessage_counts();
  EXPECT_EQ(n.handlers + n.queued + n.timers + n.watches, 0u);
  EXPECT_EQ(fmessage_state(), 0);
  // Uninitialised: every operation does nothing.
  EXPECT_EQ(fmessage_register(&a, 0), -1);
  EXPECT_EQ(fmessage_post(&a, kPlain, 0, 0), -1);
  EXPECT_EQ(fmessage_step(), 0);
  EXPECT_EQ(fmessage_counts().handlers, 0u);
}

TEST_F(LoopTest, WaitWithNothingWatchedSleepsTheFullTime) {
  // Real time on purpose: the poller must not return early when idle. Only
  // a lower bound is checked.
  uint32_t before = os_tick_ms();
  EXPECT_EQ(fmessage_wait(300), 0);
  EXPECT_GE(tick_diff(os_tick_ms(), before), 250);
}

TEST_F(LoopTest, WaitReturnsOnReadinessWithoutDispatching) {
  Recorder r;
  fmessage_register(&r, 0);
  SockAddr at;
  sock_t wake = wake_socket_create(&at);
  ASSERT_GE(wake, 0);
  sockets_.push_back(wake);
  EXPECT_EQ(at.family, fmessage_family());
  EXPECT_NE(at.port, 0);
  char text[64];
  ip_format(at.addr, text);
  EXPECT_STREQ(text, fmessage_family() == kFamilyIPv6 ? "::1" : "127.0.0.1");
  fmessage_socket(&r, kSock, wake, kWatchRead);
  std::thread signaller([&] { wake_socket_signal(wake, at); });
  uint32_t before = os_tick_ms();
  EXPECT_EQ(fmessage_wait(30000), 1);
  signaller.join();
  EXPECT_LT(tick_diff(os_tick_ms(), before), 15000);
  EXPECT_EQ(fmessage_counts().queued, 0u);
  r.hook = [](Recorder*, uint32_t id, int64_t a, int64_t) {
    if (id == kSock) wake_socket_drain(a);
  };
  drain();
  EXPECT_EQ(r.count(kSock), 1u);
  nettest::pump_rounds(3);
  EXPECT_EQ(r.count(kSock), 1u);
}

int probe_ipv4() { return kFamilyIPv4; }

TEST(LoopFamily, WithoutIPv6TheLoopRunsIPv4) {
  fmessage_override_probe(probe_ipv4);
  fmessage_init();
  EXPECT_EQ(fmessage_family(), kFamilyIPv4);
  EXPECT_EQ(fmessage_addr_len(), 16);
  SockAddr at;
  sock_t wake = wake_socket_create(&at);
  EXPECT_GE(wake, 0);
  EXPECT_EQ(at.family, kFamilyIPv4);
  socket_close(wake);
  fmessage_shutdown();
  fmessage_override_probe(nullptr);
}

TEST(LoopFamily, ProbeFindsIPv6LoopbackWhenPresent) {
  testing::internal::CaptureStdout();
  fmessage_init();
  std::string out = testing::internal::GetCapturedStdout();
  if (fmessage_family() == kFamilyIPv6) {
    EXPECT_EQ(out, "\n\n..... use ipv6 ......\n\n\n");
    EXPECT_EQ(fmessage_addr_len(), 28);
  } else {
    EXPECT_EQ(out, "");
    EXPECT_EQ(fmessage_addr_len(), 16);
  }
  fmessage_shutdown();
}

}  // namespace
