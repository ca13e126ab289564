// The alarm log: size rule, purge, time repair, listings and their pages.
#include <string>
#include <vector>

#include "tests/service/supervision/sup_fixture.h"

namespace {

using namespace suptest;

class AlarmLogTest : public SupervisionTest {
 protected:
  void SetUp() override {
    SupervisionTest::SetUp();
    write_english_resource();
  }
  static void write_log(const std::vector<LogEntry>& entries) {
    kvtest::write_file("user/alarm.log", alarm_log_bytes(entries));
  }
  static std::string list(int64_t from) {
    std::string out;
    int n = alarm_log_list(from, out);
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
  }
};

TEST_F(AlarmLogTest, The257thEntryCutsTheLogTo226) {
  for (uint32_t i = 1; i <= 256; ++i) {
    alarm_log_append(i);
    clock_.advance_ms(1000);
  }
  EXPECT_EQ(file_size("user/alarm.log"), 4096);
  alarm_log_append(257);
  EXPECT_EQ(file_size("user/alarm.log"), 3616);
  auto log = read_alarm_log();
  ASSERT_EQ(log.size(), 226u);
  EXPECT_EQ(log.front().code, 32u);
  EXPECT_EQ(log.front().time, kNow + 31);
  EXPECT_EQ(log.back().code, 257u);
  EXPECT_EQ(path_kind("user/alarm.log.new"), 0);
}

TEST_F(AlarmLogTest, AnUnsetClockLeavesTheMarker) {
  alarm_log_append(13);
  EXPECT_EQ(path_kind("tmp/error_time_alarm"), 0);
  clock_.set_unix(1000);
  alarm_log_append(13);
  EXPECT_EQ(kvtest::read_file("tmp/error_time_alarm"), "1");
}

TEST_F(AlarmLogTest, ATornEntryIsDroppedBeforeTheNextOne) {
  std::string data = alarm_log_bytes({{kNow - 20, 1}, {kNow - 10, 13}});
  kvtest::write_file("user/alarm.log", data + std::string(5, '\x7f'));
  alarm_log_append(17);
  auto log = read_alarm_log();
  ASSERT_EQ(file_size("user/alarm.log"), 48);
  EXPECT_EQ(log[1].code, 13u);
  EXPECT_EQ(log[2].code, 17u);
  EXPECT_EQ(log[2].time, kNow);
}

struct PurgeCase {
  std::vector<int64_t> times;
  std::vector<int64_t> kept;  // empty: the log is gone
};
class AlarmLogPurge : public AlarmLogTest, public ::testing::WithParamInterface<PurgeCase> {};

TEST_P(AlarmLogPurge, KeepsOnlyValidTimes) {
  std::vector<LogEntry> entries;
  for (size_t i = 0; i < GetParam().times.size(); ++i) entries.push_back({GetParam().times[i], static_cast<uint32_t>(i)});
  write_log(entries);
  EXPECT_EQ(alarm_log_purge(), 0);
  std::vector<int64_t> times;
  for (const LogEntry& e : read_alarm_log()) times.push_back(e.time);
  EXPECT_EQ(times, GetParam().kept);
  EXPECT_EQ(path_kind("user/alarm.log"), GetParam().kept.empty() ? 0 : 2);
  EXPECT_EQ(path_kind("user/alarm.log.new"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AlarmLogPurge,
    ::testing::Values(PurgeCase{{kNow, kNow + 1}, {kNow, kNow + 1}},
                      PurgeCase{{kNow, 1200, kNow + 2}, {kNow, kNow + 2}},
                      // The threshold second itself is no valid time.
                      PurgeCase{{1583020800, 1583020801}, {1583020801}}, PurgeCase{{5, 1583020800, -1}, {}}));

TEST_F(AlarmLogTest, PurgeOfAnEmptyOrMissingLogDoesNothing) {
  EXPECT_EQ(alarm_log_purge(), 0);
  EXPECT_EQ(path_kind("user/alarm.log"), 0);
  kvtest::write_file("user/alarm.log", "");
  EXPECT_EQ(alarm_log_purge(), 0);
  EXPECT_EQ(path_kind("user/alarm.log"), 2);
}

TEST_F(AlarmLogTest, TimeFixOnlyWhileTheMarkerExists) {
  write_log({{100, 1}, {kNow, 2}, {1583020800, 3}, {200, 4}});
  EXPECT_EQ(alarm_log_fix_time(1600000000), 0);
  EXPECT_EQ(read_alarm_log()[0].time, 100);

  marker_create(kAlarmTimeMarker);
  EXPECT_EQ(alarm_log_fix_time(1600000000), 0);
  auto log = read_alarm_log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].time, 1600000100);
  EXPECT_EQ(log[1].time, kNow);
  EXPECT_EQ(log[2].time, 1583020800);
  EXPECT_EQ(log[3].time, 1600000200);
  EXPECT_EQ(log[3].code, 4u);
  EXPECT_FALSE(marker_exists(kAlarmTimeMarker));
  EXPECT_EQ(path_kind("user/alarm.log.new"), 0);
}

TEST_F(AlarmLogTest, ListFiltersByTimeAndValidity) {
  write_log({{kNow, 13}, {500, 17}, {kNow + 5, 0x8000 + 13}, {kNow + 9, 99}});
  EXPECT_EQ(list(kNow),
            "[[1700000005,32781,\"[Using battery] Alarm removed\"],[1700000009,99,\"alarm_99\"]]");
  EXPECT_EQ(list(kNow + 9), "[]");
  EXPECT_EQ(list(-1).substr(0, 32), "[[1700000000,13,\"Using battery\"]");
  std::string out;
  EXPECT_EQ(alarm_log_last(out), 26);
  EXPECT_EQ(out, "[1700000009,99,\"alarm_99\"]");
}

TEST_F(AlarmLogTest, LastSkipsTrailingInvalidEntries) {
  write_log({{kNow, 13}, {kNow + 1, 17}, {400, 4}});
  std::string out;
  alarm_log_last(out);
  EXPECT_EQ(out, "[1700000001,17,\"Input mains power abnormal\"]");
  alarm_log_clear();
  out.clear();
  alarm_log_last(out);
  EXPECT_EQ(out, "[]");
  EXPECT_EQ(list(-1), "[]");
}

// Pages of a full log: from a start time forward, page after page with the
// last time received, every entry comes exactly once; -1 gives the newest.
TEST_F(AlarmLogTest, PagesCoverTheLogAndMinusOneGivesTheNewest) {
  std::vector<LogEntry> entries;
  for (int i = 0; i < 250; ++i)
    entries.push_back({kNow + i, static_cast<uint32_t>(i % 3 == 0 ? 13 : (i % 3 == 1 ? 0x8000 + 17 : 20))});
  write_log(entries);
  std::vector<int64_t> seen;
  int64_t from = 0;
  for (int pages = 0; pages < 100; ++pages) {
    std::string page = list(from);
    ASSERT_LT(page.size(), 1200u);
    if (page == "[]") break;
    size_t pos = 0;
    while ((pos = page.find("[17", pos)) != std::string::npos) {
      seen.push_back(std::stoll(page.substr(pos + 1, 10)));
      pos += 11;
    }
    from = seen.back();
  }
  ASSERT_EQ(seen.size(), 250u);
  for (int i = 0; i < 250; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], kNow + i);

  std::string newest = list(-1);
  ASSERT_LT(newest.size(), 1200u);
  EXPECT_TRUE(newest.ends_with(",[1700000249,13,\"Using battery\"]]")) << newest;
  // The newest entries without a gap, oldest first.
  int64_t expect = std::stoll(newest.substr(2, 10));
  size_t pos = 0;
  int count = 0;
  while ((pos = newest.find("[17", pos)) != std::string::npos) {
    EXPECT_EQ(std::stoll(newest.substr(pos + 1, 10)), expect++);
    pos += 11;
    ++count;
  }
  EXPECT_EQ(expect, kNow + 250);
  EXPECT_GT(count, 20);
}

}  // namespace
