// Service commands, the queue between query steps and the answer file.
#include <gtest/gtest.h>

#include <string>

#include "service/core/file_util.h"
#include "tests/service/ups/link_fixture.h"

namespace {

using kvtest::read_file;

class CommandTest : public LinkFixture {
 protected:
  // An stk0 UPS on COM1 that also reacts to commands like a real one.
  void ready() {
    ports("COM1");
    bench_.add("COM1", [this](const std::string& c) -> std::string {
      if (c == "QT") bits_ = "00001100";
      if (c == "ECHO") return "#echo 1 2\r";
      return fake::stk0_ups(c, &bits_);
    });
    start();
    ASSERT_TRUE(run_until([] { return data_state == 2; }, 120000));
  }
  std::string cmd(const char* text) {
    char out[128];
    int n = ups_command(text, out);
    return std::string(out, static_cast<size_t>(n));
  }
  std::string json(const char* text) {
    char out[128];
    int n = ups_command_json(text, out);
    return std::string(out, static_cast<size_t>(n));
  }
  std::string api(const char* item, int allowed = 1) {
    char out[128] = "";
    int n = api_command(item, out, allowed);
    return std::string(out, static_cast<size_t>(n));
  }
  const std::vector<std::string>& sent() { return bench_.devices["COM1"].commands; }
  bool was_sent(const std::string& c) {
    for (const std::string& s : sent())
      if (s == c) return true;
    return false;
  }
};

TEST_F(CommandTest, RefusedWhileDataNotReady) {
  ports("COM1");
  bench_.add("COM1", [this](const std::string& c) { return fake::stk0_ups(c, &bits_); });
  start();
  run_ms(500);
  EXPECT_EQ(cmd("#beep"), "false");
  EXPECT_EQ(cmd("@Q1"), "false");
  EXPECT_EQ(command_queue_count(), 0);
}

TEST_F(CommandTest, GateTable) {
  ready();
  const char* refused[] = {"#beep ", "#test 4", "#down", "beep", "", "#config", "#Beep"};
  for (const char* t : refused) EXPECT_EQ(cmd(t), "false") << "[" << t << "]";
  EXPECT_EQ(cmd(("@" + std::string(127, 'A')).c_str()), "false");
  EXPECT_EQ(command_queue_count(), 0);
  EXPECT_EQ(cmd("#config 3 7"), "true");  // accepted and dropped
  EXPECT_EQ(command_queue_count(), 0);
}

TEST_F(CommandTest, DownKindsSendTheSameFrame) {
  ready();
  EXPECT_EQ(cmd("#down 2"), "true");
  run_ms(1000);
  EXPECT_EQ(cmd("#down 1"), "true");
  run_ms(1000);
  int n = 0;
  for (const std::string& s : sent()) n += s == "S.2R9999";
  EXPECT_EQ(n, 2);
  EXPECT_EQ(command_queue_count(), 0);
}

TEST_F(CommandTest, RawFrameAndItsAnswer) {
  ready();
  EXPECT_EQ(cmd("@Q1"), "queued");
  EXPECT_EQ(cmd("@"), "false");  // the old answer is gone while it waits
  ASSERT_TRUE(run_until([] { return command_queue_count() == 0; }, 3000));
  EXPECT_EQ(read_file("tmp/cmd_answer"), "(230.0 230.0 229.0 012 50.0 2.27 25.0 00001000");
  EXPECT_EQ(cmd("@"), "no format function");
  EXPECT_EQ(json("@"), "\"no format function\"");
  EXPECT_EQ(json("@ECHO"), "\"queued\"");
  ASSERT_TRUE(run_until([] { return command_queue_count() == 0; }, 3000));
  EXPECT_EQ(read_file("tmp/cmd_answer"), "#echo 1 2");
}

TEST_F(CommandTest, RawFrameTimeOutGivesCmdFail) {
  ready();
  EXPECT_EQ(cmd("@XYZ"), "queued");
  ASSERT_TRUE(run_until([] { return command_queue_count() == 0; }, 5000));
  EXPECT_EQ(read_file("tmp/cmd_answer"), std::string("\x01", 1));
  EXPECT_EQ(cmd("@"), "cmd fail");
  EXPECT_TRUE(was_sent("XYZ"));
  // A failed command does not end the link.
  EXPECT_TRUE(link_exists());
  int before = cycles_;
  ASSERT_TRUE(run_until([&] { return cycles_ > before; }, 7000));
}

TEST_F(CommandTest, PollNow) {
  ready();
  run_ms(200);
  size_t before = sent().size();
  EXPECT_EQ(cmd("@FFFF"), "true");
  run_ms(500);  // far sooner than the 6 s poll interval
  ASSERT_GT(sent().size(), before);
  EXPECT_EQ(sent().back(), "Q1");
}

TEST_F(CommandTest, TwoCommandsWhileAQueryIsInFlight) {
  ready();
  ASSERT_TRUE(run_until([] { return link_controller.link_state == LINK_QUERYING; }, 7000));
  EXPECT_EQ(cmd("#beep"), "true");
  EXPECT_EQ(cmd("#start"), "true");
  EXPECT_EQ(command_queue_count(), 2);
  size_t before = sent().size();
  // Sent right after the query in flight, not at the next poll (6 s).
  ASSERT_TRUE(run_until([] { return command_queue_count() == 0; }, 1500));
  run_ms(300);
  // Both frames went out one after the other, after the query in flight,
  // and the poll went on after them.
  std::vector<std::string> after(sent().begin() + static_cast<long>(before), sent().end());
  size_t beep = 0;
  while (beep < after.size() && after[beep] == "Q1") ++beep;
  EXPECT_LE(beep, 1u);  // only the query that was in flight came first
  ASSERT_GE(after.size(), beep + 2);
  EXPECT_EQ(after[beep], "Q");
  EXPECT_EQ(after[beep + 1], "C");

}

TEST_F(CommandTest, QueueIsBounded) {
  ready();
  int accepted = 0;
  for (int i = 0; i < 50; ++i) accepted += cmd("#beep") == "true";
  EXPECT_EQ(accepted, kCommandQueueMax);
  EXPECT_EQ(cmd("#beep"), "false");
  ASSERT_TRUE(run_until([] { return command_queue_count() == 0; }, 60000));
  EXPECT_EQ(cmd("#beep"), "true");
}

TEST_F(CommandTest, SelfTestIsLabelledWithTheRequestedKind) {
  ready();
  EXPECT_EQ(api("test 2"), "true");
  ASSERT_TRUE(run_until([] { return ups_status.published.test_result == TEST_RUNNING; }, 8000));
  EXPECT_EQ(ups_status.published.test_id, 2);
  EXPECT_EQ(ups_status.published.cond[COND_TEST_RUNNING], 1);
  bits_ = "00001000";
  ASSERT_TRUE(run_until([] { return ups_status.published.test_result == TEST_PASSED; }, 8000));
  EXPECT_EQ(ups_status.published.test_id, 2);
  EXPECT_GT(ups_status.published.test_duration, 10);
  EXPECT_EQ(ups_status.published.cond[COND_TEST_RUNNING], 0);
  // The bookkeeping carries over into later cycles.
  int before = cycles_;
  ASSERT_TRUE(run_until([&] { return cycles_ > before; }, 7000));
  EXPECT_EQ(ups_status.published.test_result, TEST_PASSED);
  EXPECT_EQ(ups_status.published.test_id, 2);
}

TEST_F(CommandTest, ApiItems) {
  ready();
  EXPECT_EQ(api("config 1 3"), "false");
  EXPECT_EQ(api("config 2 2"), "true");
  size_t before = sent().size();
  EXPECT_EQ(api("config 3 7"), "true");
  run_ms(1000);
  for (size_t i = before; i < sent().size(); ++i) EXPECT_EQ(sent()[i], "Q1");
  EXPECT_EQ(api("config 3"), "false");
  EXPECT_EQ(api("config 3 7", 0), "false");
  EXPECT_EQ(api("beep"), "true");
  EXPECT_EQ(api("beep now"), "false");
  EXPECT_EQ(api("beep", 0), "false");
  EXPECT_EQ(api("test 5"), "false");
  EXPECT_EQ(api("test"), "false");
  EXPECT_EQ(api("dance"), "");
  EXPECT_EQ(api(""), "");
  run_ms(1000);
  EXPECT_TRUE(was_sent("Q"));
}

TEST_F(CommandTest, ApiDownAndStartSchedule) {
  ready();
  int64_t now = svc_seconds();
  EXPECT_EQ(api("down 1 60"), "true");
  EXPECT_EQ(ups_schedule.shutdown_kind, 1);
  EXPECT_EQ(ups_schedule.shutdown_time, now + 60);
  EXPECT_EQ(command_queue_count(), 0);
  EXPECT_EQ(api("down cancel"), "true");
  EXPECT_EQ(ups_schedule.shutdown_time, 0);
  EXPECT_EQ(ups_schedule.shutdown_kind, 0);
  EXPECT_EQ(api("down 3"), "false");
  EXPECT_EQ(api("down 1 2 3"), "false");
  EXPECT_EQ(api("down 2 30", 0), "false");
  EXPECT_EQ(api("down 2"), "true");
  EXPECT_EQ(command_queue_count(), 1);
  EXPECT_EQ(api("start 30"), "true");
  EXPECT_EQ(ups_schedule.restart_time, now + 30);
  EXPECT_EQ(api("start cancel"), "true");
  EXPECT_EQ(ups_schedule.restart_time, 0);
  EXPECT_EQ(api("start 1 2"), "false");
  ups_schedule.restart_time = 99;
  EXPECT_EQ(api("start"), "true");
  EXPECT_EQ(ups_schedule.restart_time, 0);
  ASSERT_TRUE(run_until([] { return command_queue_count() == 0; }, 5000));
  EXPECT_TRUE(was_sent("S.2R9999"));
  EXPECT_TRUE(was_sent("C"));
}

TEST_F(CommandTest, NewLinkEmptiesTheQueue) {
  ready();
  ASSERT_TRUE(run_until([] { return link_controller.link_state == LINK_QUERYING; }, 7000));
  bench_.devices["COM1"].unplugged = true;
  cmd("#beep");
  cmd("#start");
  ASSERT_EQ(command_queue_count(), 2);
  ASSERT_TRUE(run_until([&] { return log_.find("read FAIL\n") != std::string::npos; }, 5000));
  EXPECT_EQ(cmd("#beep"), "false");  // no link
  bench_.devices["COM1"].unplugged = false;
  ASSERT_TRUE(run_until([] { return link_exists(); }, 10000));
  EXPECT_EQ(command_queue_count(), 0);
  EXPECT_FALSE(was_sent("C"));
}

}  // namespace
