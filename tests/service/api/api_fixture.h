// Shared fixture of the device API tests: a fresh program folder with the
// configuration files, the test clock, known settings, a one-phase UPS in
// the status record, device 0 answering through api_request, and the
// wireless state files in the program's own "tmp".
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "service/api/device_api.h"
#include "service/api/settings_api.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/net/netinfo.h"
#include "service/supervision/alarm.h"
#include "service/supervision/device_table.h"
#include "service/supervision/record.h"
#include "service/supervision/sup_common.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_status.h"
#include "tests/support/test_support.h"

namespace apitest {

// The wired adapter the "ifconfig" item sees.
inline int one_adapter(std::vector<NetAdapter>& out) {
  NetAdapter a;
  copy_cut(a.name, "eth0");
  a.ethernet = true;
  IpAddress addr, gw, dns;
  ip_parse("192.168.1.20", &addr);
  ip_parse("192.168.1.1", &gw);
  ip_parse("192.168.1.53", &dns);
  a.unicast.push_back(addr);
  a.prefix.push_back(24);
  a.gateways.push_back(gw);
  a.dns.push_back(dns);
  a.has_mac = true;
  const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x20};
  std::copy(mac, mac + 6, a.mac);
  out.push_back(a);
  return 0;
}

template <size_t N>
void set_text(char (&dest)[N], const std::string& text) {
  std::snprintf(dest, N, "%s", text.c_str());
}

// The identity a settings load of this folder's files would give.
inline void load_known_settings() {
  sup_settings = SupervisionSettings{};
  set_text(sup_settings.pcode, "KV-1000");
  set_text(sup_settings.release, "26.0711");
  set_text(sup_settings.passwords[0], "secret");
  set_text(sup_settings.passwords[8], "guest9");
  set_text(sup_settings.language, "en");
  set_text(sup_settings.name, "UPS-Room-1");
  set_text(sup_settings.default_name, "Kelvane UPS");
  set_text(sup_settings.remark, "rack 3");
  sup_policy = PolicySettings{};
  sup_policy.app_shutdown = 1;
}

// A one-phase UPS on mains as the stk0 driver reports it.
inline void one_phase_ups() {
  ups_status_reset();
  UpsStatus& s = ups_status;
  set_text(s.brand, "stk0");
  set_text(s.model, "A500");
  set_text(s.firmware, "v3");
  s.in_phases = 1;
  s.in_freq_x10 = 500;
  s.in_volt = 220;
  s.out_phases = 1;
  s.out_freq_x10 = 500;
  s.out_volt = 220;
  s.rated_power = 500;
  s.rated_batt_x10 = 120;
  s.ups_type = 1;
  s.capabilities = 15;
  UpsMeasurements& m = s.published;
  m.batt_status = BATT_NORMAL;
  m.batt_remain = 35;
  m.batt_percent = 100;
  m.batt_volt_x10 = 136;
  m.batt_temp = 25;
  m.input[0] = PhaseIn{0, 499, 230, 0};
  m.out_mode = MODE_MAINS;
  m.output[0] = PhaseOut{0, 500, 229, 12, 0};
  m.cond[COND_ON_MAINS] = 1;
}

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_create("user");
    dir_create("tmp");
    dir_create("www");
    dir_create("www/conf");
    kvtest::write_file("user/config.inf", "[master]\nname=UPS-Room-1\nlanguage=en\nremark=rack 3\n\n[passwd]\npass1=secret\n");
    kvtest::write_file("www/conf/default.inf", "[master]\nname=Kelvane UPS\n\n[passwd]\npass9=guest9\n");
    marker_root_set("tmp");
    ups_console_capture(&console_, true);
    svc_seconds_reset();
    alarm_table_reset();
    ups_schedule = UpsSchedule{};
    load_known_settings();
    one_phase_ups();
    data_state = 2;
    link_error = 0;
    device_table_create(1);
    device_get(0)->query = api_request;
    device_get(0)->record_format = record_json;
    netinfo_override(one_adapter);
  }
  void TearDown() override {
    netinfo_override(nullptr);
    api_set_remote_probe(nullptr);
    device_table_release();
    marker_root_set(nullptr);
    ups_console_capture(nullptr);
  }

  // The answer of api_request; its returned length must be what it wrote.
  static std::string ask(const std::string& request, int user = kApiAdmin) {
    std::string out = "<";
    int n = api_request(user, request.c_str(), out);
    EXPECT_EQ(n, static_cast<int>(out.size()) - 1) << request;
    return out.substr(1);
  }
  static std::string config(const char* header, const char* key) {
    return profile_get("user/config.inf", header, key);
  }
  void advance_s(int seconds) { clock_.advance_ms(static_cast<uint32_t>(seconds) * 1000u); }

  kvtest::TempProgramFolder folder_;
  kvtest::FakeClock clock_{1000, 1700000000};
  std::string console_;
};

}  // namespace apitest
