// The variable store: one buffer, records growing up from the start, the
// temporary area growing down from the end.
//
// Records: a variable is name NUL value NUL; a text block is 0x01, a 32-bit
// length n and n bytes; a scope marker is 0x02. Assignments append, lookups
// take the last record of a name, so a nested run or a pop is undone by
// cutting the records back to an earlier length.
//
// Lookups must find the last record of a name. A plain scan from the start
// makes a loop of assignments quadratic in the store size (a full 1 MiB
// store holds some 200000 records), so a small table remembers where the
// newest record of each name hash is; a miss or a stale slot falls back to
// the scan, which then refreshes the slot. A name that is not there (a flag
// a loop tests, a request field never sent) is remembered with the length
// the store had, so the next scan starts there while nothing was cut.
#include <cstdint>
#include <cstring>
#include <vector>

#include "service/script/script_internal.h"

namespace {

constexpr char kTextBlock = 0x01;
constexpr char kMarker = 0x02;
constexpr std::size_t kBlockHead = 5;
constexpr int kSlots = 4096;
constexpr int kMarkers = 256;
constexpr int kMisses = 1024;
constexpr std::size_t kMissName = 31;

struct Miss {
  uint32_t epoch;
  uint32_t upto;  // records below were searched
  uint8_t len;
  char name[kMissName];
};

struct Store {
  std::vector<char> buf;  // capacity + 1: the last byte stays NUL
  std::size_t capacity = 0;
  std::size_t used = 0;
  std::size_t temp = 0;
  int32_t slot[kSlots];
  // Offsets of the scope markers, so that pop needs no scan; a store with
  // more markers than fit falls back to scanning until it is emptied.
  uint32_t marker[kMarkers];
  int markers = 0;
  bool markers_lost = false;
  Miss miss[kMisses];
  uint32_t epoch = 1;  // advanced whenever records are removed
};

Store g_store;
ScriptLookupFn g_lookup = nullptr;

uint32_t name_hash(std::string_view name) {
  uint32_t h = 2166136261u;
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  return h & (kSlots - 1);
}

// Remembered misses hold only while no record was removed.
void advance_epoch() {
  if (++g_store.epoch != 0) return;
  std::memset(g_store.miss, 0, sizeof g_store.miss);
  g_store.epoch = 1;
}

void slots_clear() {
  for (int32_t& s : g_store.slot) s = -1;
  advance_epoch();
}

void slots_cut(std::size_t len) {
  advance_epoch();
  for (int32_t& s : g_store.slot) {
    if (s >= 0 && static_cast<std::size_t>(s) >= len) s = -1;
  }
  while (g_store.markers > 0 && g_store.marker[g_store.markers - 1] >= len) --g_store.markers;
}

void markers_clear() {
  g_store.markers = 0;
  g_store.markers_lost = false;
}

// Walks the records from off; returns the offset of the next record, and
// for a variable sets name and value.
std::size_t next_record(std::size_t off, std::string_view* name, std::string_view* value) {
  const char* b = g_store.buf.data();
  const std::size_t end = g_store.used;
  if (b[off] == kMarker) {
    *name = {};
    return off + 1;
  }
  if (b[off] == kTextBlock) {
    *name = {};
    if (off + kBlockHead > end) return end;
    uint32_t n;
    std::memcpy(&n, b + off + 1, sizeof n);
    const std::size_t next = off + kBlockHead + n;
    return next > end ? end : next;
  }
  const char* nend = static_cast<const char*>(std::memchr(b + off, 0, end - off));
  if (!nend) return end;
  const std::size_t voff = static_cast<std::size_t>(nend - b) + 1;
  const char* vend = static_cast<const char*>(std::memchr(b + voff, 0, end - voff));
  if (!vend) return end;
  *name = std::string_view(b + off, static_cast<std::size_t>(nend - (b + off)));
  *value = std::string_view(b + voff, static_cast<std::size_t>(vend - (b + voff)));
  return static_cast<std::size_t>(vend - b) + 1;
}

// Offset of the last variable record named name, or -1.
long find_record(std::string_view name, std::string_view* value) {
  if (g_store.capacity == 0) return -1;
  const uint32_t h = name_hash(name);
  const int32_t s = g_store.slot[h];
  if (s >= 0 && static_cast<std::size_t>(s) < g_store.used) {
    std::string_view n, v;
    next_record(static_cast<std::size_t>(s), &n, &v);
    if (n.data() && n == name) {
      *value = v;
      return s;
    }
  }
  Miss& miss = g_store.miss[(h * 7) & (kMisses - 1)];
  const bool known_miss = miss.epoch == g_store.epoch && miss.len == name.size() &&
                          std::memcmp(miss.name, name.data(), name.size()) == 0;
  long found = -1;
  std::size_t off = known_miss ? miss.upto : 0;
  while (off < g_store.used) {
    std::string_view n, v;
    const std::size_t next = next_record(off, &n, &v);
    if (n.data() && n == name) {
      found = static_cast<long>(off);
      *value = v;
    }
    off = next;
  }
  if (found >= 0) {
    g_store.slot[h] = static_cast<int32_t>(found);
    return found;
  }
  if (name.size() <= kMissName) {
    miss.epoch = g_store.epoch;
    miss.upto = static_cast<uint32_t>(g_store.used);
    miss.len = static_cast<uint8_t>(name.size());
    std::memcpy(miss.name, name.data(), name.size());
  }
  return -1;
}

bool fits(std::size_t n) {
  return g_store.capacity > 0 && g_store.used + g_store.temp + n <= g_store.capacity;
}

// Writes a variable record at the end; the caller checked the room.
const char* append_var(std::string_view name, std::span<const std::string_view> parts, char sep) {
  char* b = g_store.buf.data();
  const std::size_t off = g_store.used;
  std::size_t p = off;
  std::memcpy(b + p, name.data(), name.size());
  p += name.size();
  b[p++] = '\0';
  const std::size_t voff = p;
  bool first = true;
  for (std::string_view part : parts) {
    if (!first && sep) b[p++] = sep;
    first = false;
    // A part may come from the store itself (appending to a value): it lies
    // below off, so the regions never overlap.
    std::memmove(b + p, part.data(), part.size());
    p += part.size();
  }
  b[p++] = '\0';
  g_store.used = p;
  g_store.slot[name_hash(name)] = static_cast<int32_t>(off);
  return b + voff;
}

}  // namespace

int script_store_create(std::size_t capacity) {
  script_store_release();
  if (capacity == 0) return -1;
  try {
    g_store.buf.assign(capacity + 1, '\0');
  } catch (...) {
    return -1;
  }
  g_store.capacity = capacity;
  // A fresh store starts a new page request: a stop left by the last one
  // (an error, a redirect) must not end this one before it runs.
  script_clear_stop();
  g_store.used = 0;
  g_store.temp = 0;
  slots_clear();
  markers_clear();
  return 0;
}

void script_store_release() {
  std::vector<char>().swap(g_store.buf);
  g_store.capacity = 0;
  g_store.used = 0;
  g_store.temp = 0;
  slots_clear();
  markers_clear();
}

void store_full() {
  static constexpr std::string_view kName = "script_error";
  static constexpr std::string_view kText = "too may script vars";
  g_store.used = 0;
  slots_clear();
  markers_clear();
  script_set_stop();
  if (g_store.capacity == 0) return;
  const std::size_t need = kName.size() + kText.size() + 3;
  // The run is ending; when even the message does not fit beside the
  // temporaries, they are given up so that the page can show why it failed.
  if (!fits(need)) g_store.temp = 0;
  if (!fits(need)) return;
  const std::string_view parts[1] = {kText};
  append_var(kName, parts, 0);
}

const char* store_put(std::string_view name, std::span<const std::string_view> parts, char sep) {
  // A name starting with a record kind byte would read back as that kind.
  if (!name.empty() && (name[0] == kTextBlock || name[0] == kMarker)) return nullptr;
  if (g_store.capacity == 0) {
    script_set_stop();
    return nullptr;
  }
  std::size_t need = name.size() + 3;
  for (std::string_view part : parts) need += part.size() + (sep ? 1 : 0);
  if (!fits(need)) {
    store_full();
    return nullptr;
  }
  return append_var(name, parts, sep);
}

const char* store_put(std::string_view name, std::string_view value) {
  const std::string_view parts[1] = {value};
  return store_put(name, parts, 0);
}

const char* script_set_var(const char* name, const char* value) {
  return store_put(name ? name : "", value ? value : "");
}

std::string_view store_find(std::string_view name, bool* found) {
  std::string_view value;
  const bool hit = find_record(name, &value) >= 0;
  if (found) *found = hit;
  return hit ? value : std::string_view();
}

std::string_view var_view(std::string_view name) {
  bool found = false;
  std::string_view v = store_find(name, &found);
  if (found) return v;
  if (!g_lookup) return "";
  // The lookup takes a C string; names longer than any request field are
  // not asked for.
  char key[256];
  if (name.size() >= sizeof key) return "";
  std::memcpy(key, name.data(), name.size());
  key[name.size()] = '\0';
  std::string_view answer = g_lookup(key);
  return answer.data() ? answer : std::string_view("");
}

const char* script_get_var(const char* name) {
  if (!name) return "";
  return var_view(name).data();
}

char* store_add_block(std::size_t n) {
  if (n > UINT32_MAX || !fits(kBlockHead + n)) {
    store_full();
    return nullptr;
  }
  char* b = g_store.buf.data() + g_store.used;
  b[0] = kTextBlock;
  const uint32_t n32 = static_cast<uint32_t>(n);
  std::memcpy(b + 1, &n32, sizeof n32);
  std::memset(b + kBlockHead, 0, n);
  g_store.used += kBlockHead + n;
  return b + kBlockHead;
}

const char* script_add_text(std::string_view text) {
  char* block = store_add_block(text.size() + 32);
  if (!block) return nullptr;
  std::memcpy(block, text.data(), text.size());
  return block;
}

bool store_push_marker() {
  if (!fits(1)) {
    store_full();
    return false;
  }
  if (g_store.markers < kMarkers) {
    g_store.marker[g_store.markers++] = static_cast<uint32_t>(g_store.used);
  } else {
    g_store.markers_lost = true;
  }
  g_store.buf[g_store.used++] = kMarker;
  return true;
}

bool store_pop_marker(std::size_t floor) {
  if (!g_store.markers_lost) {
    if (g_store.markers == 0 || g_store.marker[g_store.markers - 1] < floor) return false;
    store_cut(g_store.marker[g_store.markers - 1]);
    return true;
  }
  long last = -1;
  std::size_t off = 0;
  while (off < g_store.used) {
    std::string_view n, v;
    if (g_store.buf[off] == kMarker) last = static_cast<long>(off);
    off = next_record(off, &n, &v);
  }
  if (last < 0 || static_cast<std::size_t>(last) < floor) return false;
  store_cut(static_cast<std::size_t>(last));
  return true;
}

void store_cut(std::size_t len) {
  if (len >= g_store.used) return;
  g_store.used = len;
  slots_cut(len);
}

std::size_t store_used() { return g_store.used; }
std::size_t script_store_used() { return g_store.used; }
std::size_t script_store_temp() { return g_store.temp; }

char* store_temp(std::size_t n) {
  if (!fits(n)) return nullptr;
  g_store.temp += n;
  return g_store.buf.data() + (g_store.capacity - g_store.temp);
}

char* store_temp_or_fail(std::size_t n) {
  char* p = store_temp(n);
  if (!p) script_fail("out of script memory");
  return p;
}

std::size_t store_temp_mark() { return g_store.temp; }

void store_temp_release(std::size_t mark) {
  if (mark < g_store.temp) g_store.temp = mark;
}

void script_set_request_lookup(ScriptLookupFn fn) { g_lookup = fn; }
