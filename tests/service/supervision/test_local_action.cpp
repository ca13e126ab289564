// The local actions with the system's own sound and script starters. The
// scripts here only leave a marker: no test ever shuts anything down.
#include <filesystem>
#include <string>

#include "service/core/clock.h"
#include "tests/service/supervision/sup_fixture.h"

namespace {

using namespace suptest;

class LocalActionTest : public SupervisionTest {
 protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    local_action_set_ops(nullptr);
    dir_create("alarm");
    dir_create("empty");
    // No real player is ever started unless a test provides one.
    sound_set_search_path((folder_.path() + "/empty").c_str());
  }
  void TearDown() override {
    sound_stop();
    sound_set_search_path(nullptr);
    SupervisionTest::TearDown();
  }
  // Shell and batch variants: whichever this system runs.
  static void write_marker_scripts() {
    kvtest::write_file("alarm/shutdown.sh", "echo sh > script.marker\n");
    kvtest::write_file("alarm/shutdown.bat", "@echo bat> script.marker\r\n");
  }
  // Real time: the script runs in a process of its own.
  static std::string wait_for(const char* path) {
    for (int i = 0; i < 1000; ++i) {
      std::string text = kvtest::read_file(path);
      if (!text.empty() && text.find('\n') != std::string::npos) return text;
      sleep_ms(20);
    }
    return kvtest::read_file(path);
  }
  void fake_player(const char* name) {
    dir_create("bin");
    std::string path = std::string("bin/") + name;
    kvtest::write_file(path, std::string("#!/bin/sh\necho $$ > \"") + folder_.path() + "/" + name +
                                 ".pid\"\necho \"$@\" > \"" + folder_.path() + "/played.marker\"\nexec sleep 60\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    sound_set_search_path((folder_.path() + "/empty:" + folder_.path() + "/bin").c_str());
  }
};

TEST_F(LocalActionTest, ShutdownScriptStartsDetached) {
  EXPECT_FALSE(shutdown_script_start());
  write_marker_scripts();
  ASSERT_TRUE(shutdown_script_start());
  std::string marker = wait_for("script.marker");
  EXPECT_TRUE(marker == "sh\n" || marker == "bat\r\n") << marker;
}

TEST_F(LocalActionTest, OnlyShuttingDownRunsTheScript) {
  write_marker_scripts();
  local_actions(ALARM_ON_BATTERY, "Using battery");
  local_actions(ALARM_SHUTTING_DOWN, "Shutting down");
  EXPECT_NE(wait_for("script.marker"), "");
  file_delete("script.marker");
  local_actions(ALARM_INPUT_LOST, "Input mains power abnormal");
  sleep_ms(300);
  EXPECT_EQ(path_kind("script.marker"), 0);
  EXPECT_EQ(actions(), (std::vector<std::string>{"balloon 13 Using battery", "balloon 4 Shutting down",
                                                 "balloon 17 Input mains power abnormal"}));
}

TEST_F(LocalActionTest, WithoutAPlayerTheSoundIsSkipped) {
  if (sound_player() == "winmm") GTEST_SKIP() << "this system plays sounds itself";
  EXPECT_EQ(sound_player(), "");
  kvtest::write_file("alarm/message.wav", "RIFF");
  local_actions(ALARM_ON_BATTERY, "Using battery");
  sound_stop();
  EXPECT_EQ(path_kind("played.marker"), 0);
}

TEST_F(LocalActionTest, PlayerOrderAndANewSoundReplacesTheOldOne) {
  if (sound_player() == "winmm") GTEST_SKIP() << "this system plays sounds itself";
  fake_player("aplay");
  EXPECT_EQ(sound_player(), folder_.path() + "/bin/aplay");
  fake_player("paplay");
  EXPECT_EQ(sound_player(), folder_.path() + "/bin/paplay");
  kvtest::write_file("alarm/message.wav", "RIFF");
  local_actions(ALARM_ON_BATTERY, "Using battery");
  EXPECT_EQ(wait_for("played.marker"), "alarm/message.wav\n");
  std::string first = wait_for("paplay.pid");
  ASSERT_FALSE(first.empty());
  first.pop_back();
  ASSERT_EQ(path_kind(("/proc/" + first).c_str()), 1);
  file_delete("paplay.pid");
  sound_play(kAlarmSoundFile);
  std::string second = wait_for("paplay.pid");
  ASSERT_FALSE(second.empty());
  second.pop_back();
  EXPECT_NE(first, second);
  // The first player was stopped and reaped before the second started.
  EXPECT_EQ(path_kind(("/proc/" + first).c_str()), 0);
  sound_stop();
  EXPECT_EQ(path_kind(("/proc/" + second).c_str()), 0);
}

}  // namespace
