#include "service/supervision/record.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/text.h"
#include "service/supervision/alarm.h"
#include "service/supervision/device_table.h"
#include "service/supervision/log_pager.h"
#include "service/supervision/log_rewrite.h"
#include "service/supervision/sup_common.h"
#include "service/ups/ups_status.h"

namespace {

constexpr int kHeader = 2;

// ---------------------------------------------------------------------------
// Building and reading records.

class RecordWriter {
 public:
  explicit RecordWriter(std::span<uint8_t, kRecordMax> out) : out_(out) {}
  void u32(uint32_t v) {
    put_u32(out_.data() + pos_, v);
    pos_ += 4;
  }
  // Values are cut to 16 bits, as the record has always stored them.
  void i16(int v) {
    put_u16(out_.data() + pos_, static_cast<uint16_t>(v));
    pos_ += 2;
  }
  int length() const { return pos_; }

 private:
  std::span<uint8_t, kRecordMax> out_;
  int pos_ = 0;
};

int i16_at(const uint8_t* p) { return static_cast<int16_t>(get_u16(p)); }

int clamp_phases(int n) { return n < 0 ? 0 : (n > kUpsPhases ? kUpsPhases : n); }

int seconds_on_battery() {
  if (!alarm_active(ALARM_ON_BATTERY)) return 0;
  return static_cast<int>(svc_seconds() - ups_alarms[ALARM_ON_BATTERY].since);
}

// ---------------------------------------------------------------------------
// Which records a newest-page listing skips, so that the page can be found
// by seeking instead of reading the whole log. Kept for device 0's log and
// trusted only while the log has the size it describes.

struct Run {
  int64_t begin, end;
};
constexpr size_t kMaxRuns = 100000;

struct ListIndex {
  bool known = false;
  int64_t size = 0;
  int length = 0;
  std::vector<Run> unlisted;  // sorted, disjoint

  void forget() {
    known = false;
    unlisted.clear();
  }
  void mark(int64_t i) {
    if (!unlisted.empty() && unlisted.back().end == i) {
      ++unlisted.back().end;
      return;
    }
    if (unlisted.size() >= kMaxRuns) {
      forget();
      return;
    }
    unlisted.push_back(Run{i, i + 1});
  }
  // Unlisted records in [a, n).
  int64_t unlisted_from(int64_t a) const {
    int64_t count = 0;
    auto it = std::lower_bound(unlisted.begin(), unlisted.end(), a, [](const Run& r, int64_t x) { return r.end <= x; });
    for (; it != unlisted.end(); ++it) count += it->end - std::max(it->begin, a);
    return count;
  }
  // The cut at the size limit left out the first n records.
  void shift(int64_t n) {
    std::vector<Run> kept;
    for (const Run& r : unlisted) {
      if (r.end <= n) continue;
      kept.push_back(Run{std::max<int64_t>(r.begin - n, 0), r.end - n});
    }
    unlisted = std::move(kept);
  }
};
ListIndex g_index;

bool listable(const uint8_t* record, int length) {
  return time_valid(get_u32(record)) && record_well_formed(record, length);
}

// Log length field; 0 when the log is missing or has none.
int read_length(const std::string& path) {
  FILE* f = file_open(path.c_str(), "rb");
  if (!f) return 0;
  uint8_t h[kHeader];
  bool ok = std::fread(h, 1, kHeader, f) == kHeader;
  std::fclose(f);
  return ok ? get_u16(h) : 0;
}

bool build_index(ListIndex& idx) {
  idx.forget();
  std::string path = record_log_file(0);
  int length = read_length(path);
  if (length <= 0 || length > kRecordMax) return false;
  FixedLogReader log;
  if (log.open(path.c_str(), kHeader, length) != 0) return false;
  idx.known = true;
  for (int64_t i = 0; i < log.count(); ++i) {
    const uint8_t* r = log.at(i);
    if (!r) {
      idx.forget();
      return false;
    }
    if (!listable(r, length)) idx.mark(i);
    if (!idx.known) return false;
  }
  idx.size = file_size(path.c_str());
  idx.length = length;
  return true;
}

bool index_fits(const ListIndex& idx, int64_t size, int length) {
  return idx.known && idx.size == size && idx.length == length;
}

// ---------------------------------------------------------------------------
// Listing.

bool list_format(const uint8_t* r, int length, int64_t from, std::string* text, void*) {
  int64_t t = get_u32(r);
  if (!(t > from) || !time_valid(t)) return false;
  DeviceEntry* d = device_get(0);
  if (!d || !d->record_format) return false;
  if (text) return d->record_format(r, length, *text) > 0;
  // Counting: what record_json refuses is known without formatting.
  if (d->record_format == record_json) return record_well_formed(r, length);
  std::string scratch;
  return d->record_format(r, length, scratch) > 0;
}

// The page the rescan gives for from = -1, found by seeking: the rescan's
// passes are followed one by one, but each reads only the records of its
// page; the count of records left over comes from the index. -1 when the
// index turns out not to describe the log.
int list_newest(FixedLogReader& log, const ListIndex& idx, std::string& out) {
  const int64_t n = log.count();
  const int length = log.entry_length();
  int64_t skip = 0;
  std::string text;
  for (;;) {
    LogPage page;
    int64_t overflow = -1;
    auto run = std::lower_bound(idx.unlisted.begin(), idx.unlisted.end(), skip,
                                [](const Run& r, int64_t x) { return r.end <= x; });
    for (int64_t i = skip; i < n;) {
      if (run != idx.unlisted.end() && i >= run->begin) {
        i = std::max(i, run->end);
        ++run;
        continue;
      }
      const uint8_t* r = log.at(i);
      if (!r || !listable(r, length)) return -1;
      text.clear();
      if (record_json(r, length, text) <= 0) return -1;
      if (!page.add(text)) {
        overflow = i;
        break;
      }
      ++i;
    }
    if (overflow < 0) return page.finish(out);
    skip += (n - overflow) - idx.unlisted_from(overflow);
  }
}

int rescan(int64_t from, std::string& out) {
  DeviceEntry* d = device_get(0);
  if (!d || !d->record_format) return 0;
  std::string path = record_log_file(0);
  int length = read_length(path);
  if (length <= 0 || length > kRecordMax) return 0;
  FixedLogReader log;
  if (log.open(path.c_str(), kHeader, length) != 0) return 0;
  return log_list_rescan(log, from, list_format, nullptr, out);
}

// ---------------------------------------------------------------------------
// Rewrites.

struct PurgeContext {
  ListIndex* idx;
  int64_t kept;
};

bool keep_valid(uint8_t* r, int length, void* context, bool*) {
  auto* c = static_cast<PurgeContext*>(context);
  if (!time_valid(get_u32(r))) return false;
  if (c->idx && !record_well_formed(r, length)) c->idx->mark(c->kept);
  ++c->kept;
  return true;
}

bool add_offset(uint8_t* r, int, void* context, bool* changed) {
  uint32_t t = get_u32(r);
  if (time_unset(t)) {
    put_u32(r, t + static_cast<uint32_t>(*static_cast<int32_t*>(context)));
    *changed = true;
  }
  return true;
}

// A crash in the middle of an append leaves part of a record; every later
// record would then be read out of step.
void drop_torn_tail(const std::string& path, int length, int64_t size) {
  if ((size - kHeader) % length == 0) return;
  LogRewrite how;
  how.header = kHeader;
  how.entry_length = length;
  log_rewrite(path.c_str(), how);
}

}  // namespace

int record_build(std::span<uint8_t, kRecordMax> out) {
  if (link_error || data_state != 2) return 0;
  const UpsMeasurements& m = ups_status.published;
  const int n_in = clamp_phases(ups_status.in_phases);
  const int n_out = clamp_phases(ups_status.out_phases);
  RecordWriter w(out);
  w.u32(static_cast<uint32_t>(unix_time()));
  w.u32(alarm_status_bits());
  w.i16(n_in);
  for (int i = 0; i < n_in; ++i) {
    const PhaseIn& p = m.input[i];
    w.i16(p.lost);
    w.i16(p.freq_x10);
    w.i16(p.volt);
    w.i16(p.extra);
  }
  w.i16(n_out);
  w.i16(m.out_mode);
  for (int i = 0; i < n_out; ++i) {
    const PhaseOut& p = m.output[i];
    w.i16(p.lost);
    w.i16(p.freq_x10);
    w.i16(p.volt);
    w.i16(p.extra);
    w.i16(p.load);
  }
  w.i16(m.batt_status);
  w.i16(seconds_on_battery());
  w.i16(m.batt_remain);
  w.i16(m.batt_percent);
  w.i16(m.batt_temp);
  w.i16(m.batt_volt_x10);
  w.i16(m.batt_extra);
  return w.length();
}

bool record_well_formed(const uint8_t* record, int length) {
  if (!record || length < record_length(0, 0) || length > kRecordMax) return false;
  int n_in = i16_at(record + 8);
  if (n_in < 0 || record_length(n_in, 0) > length) return false;
  int n_out = i16_at(record + 10 + 8 * n_in);
  return n_out >= 0 && record_length(n_in, n_out) == length;
}

int record_json(const uint8_t* record, int length, std::string& out) {
  if (!record_well_formed(record, length)) return 0;
  const size_t start = out.size();
  const uint8_t* p = record;
  append_format(out, "[%lu,%d,", static_cast<unsigned long>(get_u32(p)), static_cast<int>(get_u32(p + 4)));
  p += 8;
  int n_in = i16_at(p);
  p += 2;
  append_format(out, "[%d", n_in);
  for (int i = 0; i < n_in; ++i, p += 8)
    append_format(out, ",[%d,%.1f,%d,%d]", i16_at(p), i16_at(p + 2) / 10.0, i16_at(p + 4), i16_at(p + 6));
  out += "],";
  int n_out = i16_at(p);
  int mode = i16_at(p + 2);
  p += 4;
  append_format(out, "[%d,%d", n_out, mode);
  for (int i = 0; i < n_out; ++i, p += 10)
    append_format(out, ",[%d,%.1f,%d,%d,%d]", i16_at(p), i16_at(p + 2) / 10.0, i16_at(p + 4), i16_at(p + 6),
                  i16_at(p + 8));
  out += "],";
  append_format(out, "[%d,%d,%d,%d,%d,%.1f,%d]", i16_at(p), i16_at(p + 2), i16_at(p + 4), i16_at(p + 6), i16_at(p + 8),
                i16_at(p + 10) / 10.0, i16_at(p + 12));
  out += "]";
  return static_cast<int>(out.size() - start);
}

std::string record_log_file(int device_index) { return log_path("record", device_index); }

int record_log_append(int device_index, const uint8_t* record, int length) {
  if (!record || length <= 0 || length > kRecordMax) return -1;
  const std::string path = record_log_file(device_index);
  const bool tracked = device_index == 0;
  if (path_kind(path.c_str()) != 0) {
    if (read_length(path) != length) {
      file_delete(path.c_str());
    } else {
      int64_t size = file_size(path.c_str());
      if ((size - kHeader) % length != 0) {
        drop_torn_tail(path, length, size);
        if (tracked) g_index.forget();
      }
    }
  }
  FILE* f = file_open(path.c_str(), "ab");
  if (!f) return -1;
  const int64_t before = file_size(path.c_str());
  bool ok = true;
  if (before == 0) {
    uint8_t h[kHeader];
    put_u16(h, static_cast<uint16_t>(length));
    ok = std::fwrite(h, 1, kHeader, f) == kHeader;
  }
  ok = ok && std::fwrite(record, 1, static_cast<size_t>(length), f) == static_cast<size_t>(length);
  ok = std::fclose(f) == 0 && ok;
  if (tracked) {
    if (!ok) {
      g_index.forget();
    } else if (before == 0) {
      g_index.forget();
      g_index.known = true;
      g_index.length = length;
      g_index.size = kHeader + length;
      if (!listable(record, length)) g_index.mark(0);
    } else if (index_fits(g_index, before, length)) {
      g_index.size = before + length;
      if (!listable(record, length)) g_index.mark((before - kHeader) / length);
    } else {
      g_index.forget();
    }
  }
  if (!ok) return -1;
  if (time_unset(unix_time())) marker_create(kRecordTimeMarker);
  if (before >= kRecordLogLimit) {
    LogRewrite how;
    how.header = kHeader;
    how.entry_length = length;
    how.first = kRecordLogCut;
    LogRewriteResult r;
    bool cut = log_rewrite(path.c_str(), how, &r) == 0 && r.replaced;
    if (tracked && cut && index_fits(g_index, before + length, length) && r.dropped == kRecordLogCut) {
      g_index.shift(kRecordLogCut);
      g_index.size = file_size(path.c_str());
    } else if (tracked) {
      g_index.forget();
    }
  }
  return 0;
}

int record_log_purge(int device_index) {
  const std::string path = record_log_file(device_index);
  const bool tracked = device_index == 0;
  if (tracked) g_index.forget();
  if (file_size(path.c_str()) == 0) return 0;
  int length = read_length(path);
  if (length <= 0 || length > kRecordMax) return 0;
  ListIndex idx;
  idx.known = true;
  PurgeContext context{tracked ? &idx : nullptr, 0};
  LogRewrite how;
  how.header = kHeader;
  how.entry_length = length;
  how.edit = keep_valid;
  how.context = &context;
  if (log_rewrite(path.c_str(), how) != 0) return -1;
  // The purge has read every record: the index comes for free.
  if (tracked && idx.known && path_kind(path.c_str()) == 2) {
    idx.size = file_size(path.c_str());
    idx.length = length;
    g_index = std::move(idx);
  }
  return 0;
}

int record_log_fix_time(int device_index, int32_t offset) {
  if (!marker_exists(kRecordTimeMarker)) return 0;
  marker_delete(kRecordTimeMarker);
  const std::string path = record_log_file(device_index);
  int length = read_length(path);
  if (length <= 0 || length > kRecordMax) return 0;
  if (device_index == 0) g_index.forget();
  LogRewrite how;
  how.header = kHeader;
  how.entry_length = length;
  how.edit = add_offset;
  how.context = &offset;
  return log_rewrite(path.c_str(), how);
}

int record_log_list(int64_t from, std::string& out) {
  DeviceEntry* d = device_get(0);
  if (!d || !d->record_format) return 0;
  // The seeking path knows how record_json formats and which records it
  // refuses; another formatter gets the plain rescan.
  if (from != -1 || d->record_format != record_json) return rescan(from, out);
  const std::string path = record_log_file(0);
  int length = read_length(path);
  if (length <= 0 || length > kRecordMax) return 0;
  int64_t size = file_size(path.c_str());
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!index_fits(g_index, size, length) && !build_index(g_index)) break;
    if (!index_fits(g_index, size, length)) break;
    FixedLogReader log;
    if (log.open(path.c_str(), kHeader, length) != 0) return 0;
    std::string page;
    int n = list_newest(log, g_index, page);
    if (n >= 0) {
      out += page;
      return n;
    }
    g_index.forget();
  }
  return rescan(from, out);
}

int record_log_list_rescan(int64_t from, std::string& out) { return rescan(from, out); }

int record_log_clear() {
  g_index.forget();
  const std::string path = record_log_file(0);
  if (path_kind(path.c_str()) == 0) return 0;
  return file_delete(path.c_str());
}

int record_log_flush(int) { return 0; }

void record_write_current() {
  if (data_state != 2 || link_error) return;
  uint8_t record[kRecordMax];
  int n = record_build(std::span<uint8_t, kRecordMax>(record));
  if (n > 0) record_log_append(0, record, n);
}

int record_api_get(const char* item, std::string& out) {
  if (!item) return 0;
  std::string_view it(item);
  if (it == "record") {
    uint8_t record[kRecordMax];
    int n = record_build(std::span<uint8_t, kRecordMax>(record));
    int m = n > 0 ? record_json(record, n, out) : 0;
    if (m > 0) return m;
    out += "false";
    return 5;
  }
  constexpr std::string_view kLog = "record_log ";
  if (!it.starts_with(kLog)) return 0;
  std::string arg(it.substr(kLog.size()));
  if (arg == "-z") {
    record_log_clear();
    out += "true";
    return 4;
  }
  int n = record_log_list(parse_int(arg.c_str()), out);
  if (n > 0) return n;
  out += "[]";
  return 2;
}
