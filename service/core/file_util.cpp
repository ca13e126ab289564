#include "service/core/file_util.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

int fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// Byte order with ASCII letters folded; a prefix sorts first.
bool name_less(const DirEntry& a, const DirEntry& b) {
  std::size_t n = std::min(a.name.size(), b.name.size());
  for (std::size_t i = 0; i < n; ++i) {
    int x = fold(static_cast<unsigned char>(a.name[i]));
    int y = fold(static_cast<unsigned char>(b.name[i]));
    if (x != y) return x < y;
  }
  return a.name.size() < b.name.size();
}

}  // namespace

void dir_list_sort(DirList& list) { std::stable_sort(list.entries.begin(), list.entries.end(), name_less); }

int64_t file_read_all(const char* path, std::string& out, int64_t max_bytes) {
  out.clear();
  if (path_kind(path) != 2) return -1;
  FILE* f = file_open(path, "rb");
  if (!f) return -1;
  char buf[16384];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (static_cast<int64_t>(out.size() + n) > max_bytes) {
      std::fclose(f);
      out.clear();
      return -1;
    }
    out.append(buf, n);
  }
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    out.clear();
    return -1;
  }
  return static_cast<int64_t>(out.size());
}

int file_write_atomic(const char* path, std::string_view data) {
  // The temporary name is unique per call so two writers never share it.
  static std::minstd_rand rng{std::random_device{}()};
  char tmp[kMaxPath + 32];
  std::snprintf(tmp, sizeof tmp, "%s.%08x.tmp", path, static_cast<unsigned>(rng()));
  FILE* f = file_open(tmp, "wb");
  if (!f) return -1;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (std::fflush(f) == 0) && ok;
  ok = file_sync(f) == 0 && ok;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || file_replace(tmp, path) != 0) {
    file_delete(tmp);
    return -1;
  }
  return 0;
}
