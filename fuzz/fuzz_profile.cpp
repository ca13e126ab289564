// Profile files come from disk, where anything may have been written. The
// input is a whole file: it is parsed directly, read back section by
// section, and edited through a write-then-read round trip in a private
// temporary folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"

namespace {

const std::string& folder() { return fuzz_scratch_folder("profile"); }

// The header to look at: the input's first line when it looks like one.
std::string pick_header(std::string_view text) {
  text = text.substr(0, text.find('\0'));  // headers are C strings
  if (text.empty() || text[0] != '[') return "[app]";
  size_t end = text.find_first_of("]\r\n");
  if (end == std::string_view::npos || text[end] != ']') return "[app]";
  return std::string(text.substr(0, end + 1));
}

void check_parse(std::string_view text) {
  ProfileList list = profile_parse(text);
  require(list.values.size() == list.keys.size());
  for (int i = 0; i < list.count(); ++i) {
    require(!list.keys[i].empty() && !list.values[i].empty());
    auto k = static_cast<size_t>(list.key_offsets[i]);
    auto v = static_cast<size_t>(list.value_offsets[i]);
    require(text.substr(k, list.keys[i].size()) == list.keys[i]);
    require(text.substr(v, list.values[i].size()) == list.values[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 16)) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  check_parse(input);

  std::string path = folder() + "/config.inf";
  require(file_write_atomic(path.c_str(), input) == 0);
  std::string header = pick_header(input);

  int stored = profile_section_size(path.c_str(), header.c_str());
  std::string out(static_cast<size_t>(stored) + 2, '#');
  std::span<char> span(out.data(), out.size() - 1);
  int got = profile_section_text(path.c_str(), header.c_str(), span);
  require(got <= stored && out.back() == '#');
  // One byte short of the stored body: nothing is copied.
  if (stored > 0) {
    std::string small(static_cast<size_t>(stored), 'x');
    require(profile_section_text(path.c_str(), header.c_str(), small) == stored && small[0] == '\0');
  }
  ProfileList section = profile_read_section(path.c_str(), header.c_str());
  char value[8];
  for (int i = 0; i < section.count() && i < 4; ++i) {
    int n = profile_read_value(path.c_str(), header.c_str(), section.keys[i].c_str(), value);
    require(n >= 0 && n < static_cast<int>(sizeof value));
  }

  // Write, read back, write again: the value is there and the second write
  // changes nothing.
  if (!utf8_valid(header)) {
    require(profile_write_value(path.c_str(), header.c_str(), "fuzz_key", "v") == -1);
  } else {
    require(profile_write_value(path.c_str(), header.c_str(), "fuzz_key", "v=1 #x") == 0);
    require(profile_get(path.c_str(), header.c_str(), "fuzz_key") == "v=1 #x");
    std::string once, twice;
    require(profile_load(path.c_str(), once) >= 0);
    require(profile_write_value(path.c_str(), header.c_str(), "fuzz_key", "v=1 #x") == 0);
    require(profile_load(path.c_str(), twice) >= 0 && once == twice);
    int removed = profile_write_value(path.c_str(), header.c_str(), "fuzz_key", nullptr);
    require(removed == 0);
    require(profile_get(path.c_str(), header.c_str(), "fuzz_key").empty());
  }
  DirList list;
  require(dir_list(folder().c_str(), 0, list) >= 0 && list.count() <= 1);  // no temporary file left
  file_delete(path.c_str());
  return 0;
}
