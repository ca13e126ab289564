#include "service/supervision/log_rewrite.h"

#include <cstdio>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/supervision/sup_common.h"

namespace {

constexpr size_t kChunkBytes = 64 * 1024;

struct Files {
  FILE* in = nullptr;
  FILE* out = nullptr;
  ~Files() {
    if (in) std::fclose(in);
    if (out) std::fclose(out);
  }
};

int fail(Files& f, const std::string& tmp) {
  if (f.out) std::fclose(f.out);
  f.out = nullptr;
  file_delete(tmp.c_str());
  return -1;
}

}  // namespace

int log_rewrite(const char* path, const LogRewrite& how, LogRewriteResult* result) {
  LogRewriteResult local;
  LogRewriteResult& r = result ? *result : local;
  r = LogRewriteResult{};
  if (!path || how.entry_length <= 0 || how.entry_length > 4096 || how.header < 0) return -1;
  const auto len = static_cast<size_t>(how.entry_length);
  std::string tmp = std::string(path) + ".new";
  Files f;
  f.in = file_open(path, "rb");
  if (!f.in) return -1;
  f.out = file_open(tmp.c_str(), "wb");
  if (!f.out) return -1;

  std::vector<uint8_t> head(static_cast<size_t>(how.header));
  if (how.header > 0) {
    if (std::fread(head.data(), 1, head.size(), f.in) != head.size()) return fail(f, tmp);
    if (std::fwrite(head.data(), 1, head.size(), f.out) != head.size()) return fail(f, tmp);
  }

  const size_t per_chunk = kChunkBytes / len > 0 ? kChunkBytes / len : 1;
  std::vector<uint8_t> buf(per_chunk * len);
  int64_t index = 0;
  for (;;) {
    size_t got = std::fread(buf.data(), 1, buf.size(), f.in);
    size_t whole = got / len;
    if (got % len != 0) ++r.dropped;  // a torn entry can only be the last
    size_t out_begin = 0, out_end = 0;
    auto flush = [&]() {
      if (out_end <= out_begin) return true;
      size_t n = out_end - out_begin;
      return std::fwrite(buf.data() + out_begin, 1, n, f.out) == n;
    };
    for (size_t i = 0; i < whole; ++i, ++index) {
      uint8_t* e = buf.data() + i * len;
      bool keep = index >= how.first;
      bool changed = false;
      if (keep && how.edit) keep = how.edit(e, how.entry_length, how.context, &changed);
      if (!keep) {
        ++r.dropped;
        if (!flush()) return fail(f, tmp);
        out_begin = out_end = (i + 1) * len;
        continue;
      }
      if (changed) ++r.changed;
      ++r.kept;
      out_end = (i + 1) * len;
    }
    if (!flush()) return fail(f, tmp);
    if (got < buf.size()) break;
  }
  if (std::ferror(f.in)) return fail(f, tmp);
  std::fclose(f.in);
  f.in = nullptr;

  if (r.dropped == 0 && r.changed == 0) {
    std::fclose(f.out);
    f.out = nullptr;
    file_delete(tmp.c_str());
    return 0;
  }
  if (r.kept == 0) {
    std::fclose(f.out);
    f.out = nullptr;
    file_delete(tmp.c_str());
    file_delete(path);
    r.replaced = true;
    return 0;
  }
  bool ok = std::fflush(f.out) == 0 && file_sync(f.out) == 0;
  ok = std::fclose(f.out) == 0 && ok;
  f.out = nullptr;
  if (!ok || file_replace(tmp.c_str(), path) != 0) {
    file_delete(tmp.c_str());
    return -1;
  }
  r.replaced = true;
  return 0;
}
