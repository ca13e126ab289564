// The JSON scanners read texts from HTTP bodies and scripts. Input: an
// optional path line ("a,0,b\n") followed by the document bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/core/json.h"

namespace {

std::unique_ptr<char[]> exact_copy(const uint8_t* data, size_t size) {
  auto buf = std::make_unique<char[]>(size + 1);
  if (size) std::memcpy(buf.get(), data, size);
  buf[size] = '\0';
  return buf;
}

// Small output with a guard byte behind it.
struct Out {
  char buf[33];
  Out() { buf[32] = '#'; }
  std::span<char> span() { return std::span<char>(buf, 32); }
  ~Out() { require(buf[32] == '#'); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  const auto* nl = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  size_t path_len = nl ? static_cast<size_t>(nl - data) : 0;
  auto path = exact_copy(data, path_len);
  const uint8_t* doc_data = nl ? nl + 1 : data;
  size_t doc_size = size - static_cast<size_t>(doc_data - data);
  auto doc = exact_copy(doc_data, doc_size);
  const char* p = doc.get();
  size_t len = std::strlen(p);

  int checked = json_check(p, static_cast<int>(doc_size));
  require(checked <= static_cast<int>(doc_size));
  json_skip_value(p);
  {
    Out out;
    json_raw_value(p, out.span());
    json_value(p, out.span());
    json_path(p, path.get(), out.span());
    json_get(p, path.get(), out.span());
    for (int n = 0; n < 8; ++n) {
      json_key_at(p, n, out.span());
      json_at(p, n, out.span());
      json_raw_at(p, n, out.span());
    }
  }
  int offset = json_path(p, path.get(), {});
  require(offset <= static_cast<int>(len));

  // A compacted document is itself valid, and compacting it again changes
  // nothing.
  std::string dest(len + 1, '\0');
  int compact = json_compact(p, dest);
  if (compact > 0) {
    require(json_check(dest.c_str(), compact) == compact);
    std::string again(static_cast<size_t>(compact) + 1, '\0');
    require(json_compact(dest.c_str(), again) == compact);
    require(std::memcmp(again.data(), dest.data(), static_cast<size_t>(compact)) == 0);
  }

  // Removing a member keeps a valid object valid.
  auto edited = exact_copy(doc_data, doc_size);
  bool was_valid = json_check(edited.get(), static_cast<int>(len)) >= 0;
  int after = json_remove(edited.get(), path.get());
  require(after >= 0 && after <= static_cast<int>(len));
  require(std::strlen(edited.get()) == static_cast<size_t>(after));
  if (was_valid && after != static_cast<int>(len)) require(json_check(edited.get(), after) == after);
  return 0;
}
