// Data records and the record log: layout and JSON, appends with the length
// rule and the 100 MiB cut, purge, time repair, and the listing pages --
// the newest page found by seeking must be exactly the page of the full
// rescan, whatever the log holds.
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "tests/service/supervision/sup_fixture.h"

namespace {

using namespace suptest;

std::vector<uint8_t> make_record(uint32_t time, int n_in, int n_out, std::mt19937& rng) {
  std::vector<uint8_t> r(static_cast<size_t>(record_length(n_in, n_out)));
  std::uniform_int_distribution<int> value(-300, 3000);
  put_u32(r.data(), time);
  put_u32(r.data() + 4, static_cast<uint32_t>(rng()));
  for (size_t i = 8; i + 1 < r.size(); i += 2) put_u16(r.data() + i, static_cast<uint16_t>(value(rng)));
  put_u16(r.data() + 8, static_cast<uint16_t>(n_in));
  put_u16(r.data() + 10 + 8 * n_in, static_cast<uint16_t>(n_out));
  return r;
}

std::string log_bytes(int length, const std::vector<std::vector<uint8_t>>& records) {
  std::string out(2, '\0');
  put_u16(reinterpret_cast<uint8_t*>(out.data()), static_cast<uint16_t>(length));
  for (const auto& r : records) out.append(reinterpret_cast<const char*>(r.data()), r.size());
  return out;
}

class RecordTest : public SupervisionTest {
 protected:
  static void single_phase() {
    ups_status.in_phases = 1;
    ups_status.out_phases = 1;
    publish_mains();
    UpsMeasurements& m = ups_status.published;
    m.input[0] = PhaseIn{0, 500, 230, 0};
    m.output[0] = PhaseOut{0, 499, 229, 37, 0};
    m.batt_status = BATT_NORMAL;
    m.batt_remain = 45;
    m.batt_volt_x10 = 545;
    m.batt_temp = 27;
  }
  static std::string list(int64_t from) {
    std::string out;
    int n = record_log_list(from, out);
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
  }
  static std::string rescan(int64_t from) {
    std::string out;
    record_log_list_rescan(from, out);
    return out;
  }
  static std::string api(const char* item) {
    std::string out;
    record_api_get(item, out);
    return out;
  }
};

TEST_F(RecordTest, SinglePhaseRecordLayoutAndJson) {
  single_phase();
  data_state = 2;
  alarm_set(ALARM_ON_MAINS);
  uint8_t r[kRecordMax];
  ASSERT_EQ(record_build(std::span<uint8_t, kRecordMax>(r)), 46);
  EXPECT_EQ(get_u32(r), static_cast<uint32_t>(kNow));
  EXPECT_EQ(get_u32(r + 4), 1u << 11);
  EXPECT_EQ(get_u16(r + 8), 1);
  EXPECT_EQ(get_u16(r + 12), 500);
  std::string json;
  int n = record_json(r, 46, json);
  EXPECT_EQ(n, static_cast<int>(json.size()));
  EXPECT_EQ(json, "[1700000000,2048,[1,[0,50.0,230,0]],[1,3,[0,49.9,229,0,37]],[2,0,45,100,27,54.5,0]]");
  EXPECT_EQ(api("record"), json);
}

TEST_F(RecordTest, ThreePhasesSecondsOnBatteryAndSixteenBitCut) {
  ups_status.in_phases = 3;
  ups_status.out_phases = 3;
  publish_battery(80);
  ups_status.published.input[2].volt = 70000;  // cut to 16 bits: 4464
  data_state = 2;
  alarm_set(ALARM_ON_BATTERY);
  advance_s(75);
  uint8_t r[kRecordMax];
  ASSERT_EQ(record_build(std::span<uint8_t, kRecordMax>(r)), 82);
  std::string json;
  record_json(r, 82, json);
  EXPECT_EQ(json,
            "[1700000075,8192,[3,[0,0.0,0,0],[0,0.0,0,0],[0,0.0,4464,0]],[3,5,[0,0.0,0,0,0],[0,0.0,0,0,0],"
            "[0,0.0,0,0,0]],[0,75,0,80,25,0.0,0]]");
}

TEST_F(RecordTest, NoRecordWithoutDataOrWithLinkFailure) {
  single_phase();
  uint8_t r[kRecordMax];
  data_state = 1;
  EXPECT_EQ(record_build(std::span<uint8_t, kRecordMax>(r)), 0);
  data_state = 2;
  link_error = 1;
  EXPECT_EQ(record_build(std::span<uint8_t, kRecordMax>(r)), 0);
  EXPECT_EQ(api("record"), "false");
  record_write_current();
  EXPECT_EQ(path_kind("user/record.log"), 0);
  // Phase counts beyond the record's arrays are held to them.
  link_error = 0;
  ups_status.in_phases = 9;
  ups_status.out_phases = -2;
  EXPECT_EQ(record_build(std::span<uint8_t, kRecordMax>(r)), record_length(3, 0));
}

TEST_F(RecordTest, MalformedRecordsHaveNoJson) {
  std::mt19937 rng(7);
  auto r = make_record(kNow, 1, 1, rng);
  std::string json;
  EXPECT_EQ(record_json(r.data(), 44, json), 0);
  put_u16(r.data() + 8, 2);
  EXPECT_EQ(record_json(r.data(), 46, json), 0);
  put_u16(r.data() + 8, 0xFFFF);
  EXPECT_EQ(record_json(r.data(), 46, json), 0);
  EXPECT_EQ(record_json(nullptr, 46, json), 0);
  EXPECT_EQ(json, "");
}

TEST_F(RecordTest, AppendWritesTheLengthFirstAndRestartsOnAnotherLength) {
  std::mt19937 rng(1);
  auto a = make_record(kNow, 1, 1, rng);
  EXPECT_EQ(record_log_append(0, a.data(), 46), 0);
  EXPECT_EQ(file_size("user/record.log"), 48);
  EXPECT_EQ(kvtest::read_file("user/record.log").substr(0, 2), std::string("\x2e\x00", 2));
  record_log_append(0, a.data(), 46);
  EXPECT_EQ(file_size("user/record.log"), 94);
  auto b = make_record(kNow, 3, 3, rng);
  record_log_append(0, b.data(), 82);
  EXPECT_EQ(kvtest::read_file("user/record.log"), log_bytes(82, {b}));
  EXPECT_EQ(record_log_append(0, b.data(), 0), -1);
  EXPECT_EQ(record_log_append(0, b.data(), 513), -1);
  EXPECT_EQ(record_log_append(0, nullptr, 82), -1);
  EXPECT_EQ(file_size("user/record.log"), 84);
  // A torn record goes before the next one is written.
  kvtest::write_file("user/record.log", log_bytes(82, {b}) + "abc");
  record_log_append(0, b.data(), 82);
  EXPECT_EQ(kvtest::read_file("user/record.log"), log_bytes(82, {b, b}));
  // Another device has its own log.
  record_log_append(2, a.data(), 46);
  EXPECT_EQ(file_size("user/record_2.log"), 48);
}

TEST_F(RecordTest, UnsetClockLeavesTheMarkerAndTheFixRepairsTimes) {
  std::mt19937 rng(2);
  clock_.set_unix(3000);
  auto early = make_record(3000, 1, 1, rng);
  record_log_append(0, early.data(), 46);
  EXPECT_EQ(kvtest::read_file("tmp/error_time_record"), "1");
  auto good = make_record(kNow, 1, 1, rng);
  kvtest::write_file("user/record.log", log_bytes(46, {early, good}));
  EXPECT_EQ(record_log_fix_time(0, 1000), 0);
  auto fixed = early;
  put_u32(fixed.data(), 4000);
  EXPECT_EQ(kvtest::read_file("user/record.log"), log_bytes(46, {fixed, good}));
  EXPECT_EQ(path_kind("tmp/error_time_record"), 0);
  // Without the marker nothing happens.
  EXPECT_EQ(record_log_fix_time(0, 1000), 0);
  EXPECT_EQ(kvtest::read_file("user/record.log"), log_bytes(46, {fixed, good}));
}

TEST_F(RecordTest, PurgeDropsUnsetTimesAndDeletesAnEmptiedLog) {
  std::mt19937 rng(3);
  auto a = make_record(kNow, 1, 1, rng), b = make_record(1583020800, 1, 1, rng), c = make_record(kNow + 6, 1, 1, rng);
  kvtest::write_file("user/record.log", log_bytes(46, {a, b, c}));
  EXPECT_EQ(record_log_purge(0), 0);
  EXPECT_EQ(kvtest::read_file("user/record.log"), log_bytes(46, {a, c}));
  EXPECT_EQ(record_log_purge(0), 0);
  EXPECT_EQ(kvtest::read_file("user/record.log"), log_bytes(46, {a, c}));
  kvtest::write_file("user/record.log", log_bytes(46, {b, b}));
  EXPECT_EQ(record_log_purge(0), 0);
  EXPECT_EQ(path_kind("user/record.log"), 0);
  EXPECT_EQ(path_kind("user/record.log.new"), 0);
}

TEST_F(RecordTest, ApiItemsAndClear) {
  std::mt19937 rng(4);
  auto a = make_record(kNow, 1, 0, rng);
  kvtest::write_file("user/record.log", log_bytes(36, {a}));
  std::string json;
  record_json(a.data(), 36, json);
  EXPECT_EQ(api("record_log -1"), "[" + json + "]");
  EXPECT_EQ(api("record_log 0"), "[" + json + "]");
  EXPECT_EQ(api("record_log 1700000000"), "[]");
  EXPECT_EQ(api("record_log -z"), "true");
  EXPECT_EQ(path_kind("user/record.log"), 0);
  EXPECT_EQ(api("record_log -1"), "[]");
  EXPECT_EQ(api("alarm"), "");
  // Without a registered formatter there is no listing.
  kvtest::write_file("user/record.log", log_bytes(36, {a}));
  device_get(0)->record_format = nullptr;
  EXPECT_EQ(list(-1), "");
  EXPECT_EQ(api("record_log -1"), "[]");
}

TEST_F(RecordTest, AtExactly100MiBTheAppendCuts21Records) {
  // 2 + 46 x 2279513 = 104857600: a log of exactly the limit, mostly a hole.
  FILE* f = file_open("user/record.log", "wb");
  ASSERT_NE(f, nullptr);
  std::mt19937 rng(5);
  std::vector<std::vector<uint8_t>> head;
  for (int i = 0; i < 22; ++i) head.push_back(make_record(static_cast<uint32_t>(kNow + i), 1, 1, rng));
  std::string bytes = log_bytes(46, head);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  ASSERT_EQ(file_seek(f, kRecordLogLimit - 1), 0);
  std::fputc(0, f);
  std::fclose(f);
  ASSERT_EQ(file_size("user/record.log"), kRecordLogLimit);

  auto last = make_record(static_cast<uint32_t>(kNow + 99), 1, 1, rng);
  ASSERT_EQ(record_log_append(0, last.data(), 46), 0);
  EXPECT_EQ(file_size("user/record.log"), kRecordLogLimit + 46 - 21 * 46);
  f = file_open("user/record.log", "rb");
  ASSERT_NE(f, nullptr);
  uint8_t first[48];
  ASSERT_EQ(std::fread(first, 1, 48, f), 48u);
  EXPECT_EQ(get_u16(first), 46);
  EXPECT_EQ(std::vector<uint8_t>(first + 2, first + 48), head[21]);
  uint8_t end[46];
  ASSERT_EQ(file_seek(f, file_size("user/record.log") - 46), 0);
  ASSERT_EQ(std::fread(end, 1, 46, f), 46u);
  std::fclose(f);
  EXPECT_EQ(std::vector<uint8_t>(end, end + 46), last);
  EXPECT_EQ(path_kind("user/record.log.new"), 0);
  file_delete("user/record.log");
}

// Logs of many shapes: the seeking listing against the full rescan.
struct Shape {
  int count;
  int invalid_percent;  // records with a time from an unset clock
  int malformed_percent;
  int n_in, n_out;
};

class RecordNewestPage : public RecordTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(RecordNewestPage, SeekingGivesExactlyTheRescanPage) {
  const Shape& s = GetParam();
  const int length = record_length(s.n_in, s.n_out);
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed * 7919 + static_cast<uint32_t>(s.count));
    std::uniform_int_distribution<int> pct(0, 99);
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < s.count; ++i) {
      uint32_t t = pct(rng) < s.invalid_percent ? static_cast<uint32_t>(rng() % 1583020801u)
                                                : static_cast<uint32_t>(kNow + i);
      auto r = make_record(t, s.n_in, s.n_out, rng);
      if (pct(rng) < s.malformed_percent) put_u16(r.data() + 8, static_cast<uint16_t>(s.n_in + 1));
      records.push_back(r);
    }
    kvtest::write_file("user/record.log", log_bytes(length, records));
    std::string expected = rescan(-1);
    EXPECT_EQ(list(-1), expected) << "seed " << seed;
    // Again with the index the start-up purge leaves (the purge keeps the
    // malformed records and drops the unset times).
    record_log_purge(0);
    EXPECT_EQ(list(-1), rescan(-1)) << "after purge, seed " << seed;
    // Appends keep the index; some with an unset clock.
    for (int i = 0; i < 40; ++i) {
      clock_.set_unix(pct(rng) < s.invalid_percent ? 1000 + i : kNow + s.count + i);
      auto r = make_record(static_cast<uint32_t>(unix_time()), s.n_in, s.n_out, rng);
      record_log_append(0, r.data(), length);
      if (i % 13 == 0) {
        EXPECT_EQ(list(-1), rescan(-1)) << "append " << i << ", seed " << seed;
      }
    }
    EXPECT_EQ(list(-1), rescan(-1)) << "after appends, seed " << seed;
    clock_.set_unix(kNow);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RecordNewestPage,
                         ::testing::Values(Shape{0, 0, 0, 1, 1}, Shape{1, 0, 0, 1, 1}, Shape{15, 0, 0, 1, 1},
                                           Shape{16, 0, 0, 1, 1}, Shape{300, 0, 0, 1, 1}, Shape{300, 10, 0, 1, 1},
                                           Shape{500, 50, 5, 1, 1}, Shape{400, 95, 0, 3, 3}, Shape{400, 0, 30, 3, 1},
                                           Shape{250, 100, 0, 1, 1}, Shape{3000, 3, 1, 1, 1}, Shape{200, 0, 0, 0, 0}));

TEST_F(RecordTest, AnIndexThatNoLongerFitsTheLogIsNotTrusted) {
  std::mt19937 rng(9);
  std::vector<std::vector<uint8_t>> records;
  for (int i = 0; i < 200; ++i) records.push_back(make_record(static_cast<uint32_t>(kNow + i), 1, 1, rng));
  kvtest::write_file("user/record.log", log_bytes(46, records));
  record_log_purge(0);
  ASSERT_EQ(list(-1), rescan(-1));
  // Same size, other content, behind the service's back.
  for (int i = 150; i < 200; ++i) put_u32(records[static_cast<size_t>(i)].data(), 77);
  kvtest::write_file("user/record.log", log_bytes(46, records));
  EXPECT_EQ(list(-1), rescan(-1));
  EXPECT_NE(rescan(-1).find("[1700000149,"), std::string::npos);
}

TEST_F(RecordTest, PagesForwardCoverEveryRecord) {
  std::mt19937 rng(10);
  std::vector<std::vector<uint8_t>> records;
  for (int i = 0; i < 120; ++i) records.push_back(make_record(static_cast<uint32_t>(kNow + 10 * i), 1, 1, rng));
  kvtest::write_file("user/record.log", log_bytes(46, records));
  int64_t from = 0;
  int seen = 0;
  for (int pages = 0; pages < 60; ++pages) {
    std::string page = list(from);
    if (page.empty()) break;
    ASSERT_LT(page.size(), 1200u);
    size_t pos = 0;
    while ((pos = page.find("[170000", pos)) != std::string::npos) {
      int64_t t = std::stoll(page.substr(pos + 1, 10));
      EXPECT_EQ(t, kNow + 10 * seen);
      ++seen;
      from = t;
      pos += 11;
    }
  }
  EXPECT_EQ(seen, 120);
}

}  // namespace
