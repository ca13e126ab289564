// The link loop on the real event loop under a fake clock and the fake
// transport, in a fresh program folder.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "service/core/file_util.h"
#include "service/net/fmessage.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_driver.h"
#include "service/ups/ups_link.h"
#include "service/ups/ups_status.h"
#include "tests/service/ups/fake_port.h"
#include "tests/support/test_support.h"

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_create("tmp");
    dir_create("user");
    kvtest::write_file("user/config.inf", "[modules]\n");
    fake::bench = &bench_;
    ups_link_set_ops(&fake::ops, &fake::scan);
    // KV_UPS_VERBOSE=1 shows the console lines of the link while tests run.
    ups_console_capture(&log_, std::getenv("KV_UPS_VERBOSE") == nullptr);
    g_cycles = &cycles_;
    ups_set_cycle_hook([] { ++*g_cycles; });
    ups_status_reset();
    data_state = 0;
    link_error = 0;
    ups_schedule = UpsSchedule{};
    svc_seconds_reset();
    fmessage_init();
  }
  void TearDown() override {
    ups_link_stop();
    fmessage_shutdown();
    ups_set_cycle_hook(nullptr);
    ups_console_capture(nullptr);
    ups_link_set_ops(nullptr, nullptr);
    fake::bench = nullptr;
    g_cycles = nullptr;
  }

  // Ports listed in the application file; the system is never scanned.
  void ports(const std::string& list) {
    kvtest::write_file("appinfo.inf", "[app]\nserial_ports=" + list + "\nserial_scan=0\n");
  }
  void start() { ASSERT_EQ(ups_link_start(), 0); }

  void settle() {
    for (int i = 0; i < 100000 && fmessage_step() > 0; ++i) {
    }
  }
  // Virtual time in 10 ms steps; the loop runs everything due meanwhile.
  void run_ms(uint32_t ms) {
    settle();
    for (uint32_t t = 0; t < ms; t += 10) {
      clock_.advance_ms(10);
      settle();
    }
  }
  bool run_until(const std::function<bool()>& done, uint32_t max_ms) {
    settle();
    for (uint32_t t = 0; t <= max_ms; t += 10) {
      if (done()) return true;
      clock_.advance_ms(10);
      settle();
    }
    return done();
  }

  kvtest::TempProgramFolder folder_;
  kvtest::FakeClock clock_{100000};
  fake::Bench bench_;
  std::string log_;
  std::string bits_ = "00001000";
  int cycles_ = 0;
  static inline int* g_cycles = nullptr;
};
