// The status record: reset, publication, the per-cycle flags, the seconds
// clock and the status word.
#include <gtest/gtest.h>

#include "service/ups/ups_status.h"
#include "tests/support/test_support.h"

namespace {

TEST(UpsStatus, ResetAndPublish) {
  ups_status.brand[0] = 'x';
  ups_status.work.batt_percent = 7;
  ups_status_reset();
  EXPECT_STREQ(ups_status.platform, "norvel");
  EXPECT_EQ(ups_status.brand[0], '\0');
  ups_status.work.batt_percent = 55;
  ups_status.work.cond[COND_ON_BATTERY] = 1;
  EXPECT_EQ(ups_status.published.batt_percent, 0);
  ups_publish();
  EXPECT_EQ(ups_status.published.batt_percent, 55);
  ups_clear_work();
  EXPECT_EQ(ups_status.work.batt_percent, 0);
  EXPECT_EQ(ups_status.published.cond[COND_ON_BATTERY], 1);
}

TEST(UpsStatus, BeginCycleDropsFlagsAndKeepsTestBookkeeping) {
  ups_status_reset();
  UpsMeasurements& w = ups_status.work;
  w.cond[COND_ON_BATTERY] = w.cond[COND_INPUT_LOST] = 1;
  w.input[0].lost = 1;
  w.output[1].lost = 1;
  w.input[2].freq_x10 = 500;
  w.input[0].volt = 120;
  w.test_id = 3;
  w.test_start = 1234;
  w.test_duration = 10;
  w.test_result = TEST_PASSED;
  ups_begin_cycle();
  for (int i = 0; i < kUpsConditions; ++i) EXPECT_EQ(w.cond[i], 0) << i;
  EXPECT_EQ(w.input[0].lost, 0);
  EXPECT_EQ(w.output[1].lost, 0);
  EXPECT_EQ(w.input[2].freq_x10, 0);
  EXPECT_EQ(w.input[0].volt, 120);
  EXPECT_EQ(w.test_id, 3);
  EXPECT_EQ(w.test_start, 1234u);
  EXPECT_EQ(w.test_duration, 10);
  EXPECT_EQ(w.test_result, TEST_PASSED);
}

TEST(SvcSeconds, WholeSecondsAcrossTheWrap) {
  kvtest::FakeClock clock(0);
  svc_seconds_reset();
  EXPECT_EQ(svc_seconds(), 0);
  clock.set_tick(1999);
  EXPECT_EQ(svc_seconds(), 1);
  clock.set_tick(2000);
  EXPECT_EQ(svc_seconds(), 2);
  // Through the 49.7-day wrap of the tick count.
  clock.set_tick(0xFFFFFC18u);  // 2^32 - 1000
  int64_t before = svc_seconds();
  clock.set_tick(1000);
  EXPECT_EQ(svc_seconds(), before + 2);
}

TEST(SvcSeconds, FirstReadAfterALongUptimeCountsForwards) {
  kvtest::FakeClock clock(3000000000u);  // ~34.7 days since boot
  svc_seconds_reset();
  EXPECT_EQ(svc_seconds(), 3000000);
}

uint32_t alarms_4_and_13() { return (1u << 4) | (1u << 13); }

TEST(StatusWord, AlarmBitsAndTheApiView) {
  ups_set_alarm_bits_hook(nullptr);
  data_state = 2;
  link_error = 0;
  EXPECT_EQ(ups_status_word(), 0u);
  EXPECT_EQ(ups_api_status_word(), 0u);
  ups_set_alarm_bits_hook(alarms_4_and_13);
  EXPECT_EQ(ups_status_word(), alarms_4_and_13());
  data_state = 1;
  link_error = 1;
  EXPECT_EQ(ups_status_word(), alarms_4_and_13());
  EXPECT_EQ(ups_api_status_word(), alarms_4_and_13() | 3u);
  ups_set_alarm_bits_hook(nullptr);
  data_state = 0;
  link_error = 0;
}

}  // namespace
