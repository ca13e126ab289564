#include "service/cloud/webpack.h"

#include <cstdio>
#include <cstring>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"

namespace {

constexpr uint8_t kStart = 0x80;
constexpr uint8_t kFile = 0x01;
constexpr uint8_t kFolder = 0x02;
constexpr uint8_t kEnd = 0x03;
constexpr uint8_t kTrailer = 0xFF;
constexpr int kBuildTextMax = 128;
// "www/" in front of every entry path counts towards kWebpackPathMax.
constexpr int kRootPrefix = 4;

uint32_t read_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void put_u32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t checksum(std::span<const uint8_t> words) {
  uint32_t x = 0;
  for (size_t i = 0; i + 4 <= words.size(); i += 4) x ^= read_u32(words.data() + i);
  return x;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows opens these as devices in every folder, whatever follows a dot.
bool is_device_name(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string b;
  for (char c : base) b.push_back(upper(c));
  if (b == "CON" || b == "PRN" || b == "AUX" || b == "NUL" || b == "CONIN$" || b == "CONOUT$") return true;
  if (b.size() == 4 && (b.compare(0, 3, "COM") == 0 || b.compare(0, 3, "LPT") == 0))
    return b[3] >= '0' && b[3] <= '9';
  return false;
}

// One walk over a root body. data ends before the checksum word; path is
// the folder being written ("" for a dry walk); depth_len is the length of
// "www/" plus the entry path of the folder being walked.
struct Walk {
  std::span<const uint8_t> data;
  bool write = false;
  std::string path;
  int depth_len = kRootPrefix - 1;
};

// The name at pos (up to its 0 byte); the position after the 0, or -1.
int64_t read_name(const Walk& w, size_t pos, std::string_view* name) {
  const uint8_t* start = w.data.data() + pos;
  const void* nul = std::memchr(start, 0, w.data.size() - pos);
  if (!nul) return -1;
  size_t len = static_cast<const uint8_t*>(nul) - start;
  *name = std::string_view(reinterpret_cast<const char*>(start), len);
  return static_cast<int64_t>(pos + len + 1);
}

void write_file(const std::string& path, const uint8_t* data, uint32_t length) {
  if (length == 0) {
    file_delete(path.c_str());
    return;
  }
  FILE* f = file_open(path.c_str(), "wb");
  if (!f) return;  // skipped; the walk goes on
  std::fwrite(data, 1, length, f);
  std::fflush(f);
  // The swap that follows must not make a tree visible whose files are
  // still only in the cache.
  file_sync(f);
  std::fclose(f);
}

// Walks the body that starts at pos; the position after its 0x03, or -1.
int64_t walk_body(Walk& w, size_t pos) {
  for (;;) {
    if (pos >= w.data.size()) return -1;
    uint8_t type = w.data[pos++];
    if (type == kStart) continue;
    if (type == kEnd) return static_cast<int64_t>(pos);
    if (type != kFile && type != kFolder) return -1;
    std::string_view name;
    int64_t after = read_name(w, pos, &name);
    if (after < 0 || !webpack_name_ok(name)) return -1;
    int len = w.depth_len + 1 + static_cast<int>(name.size());
    if (len > kWebpackPathMax) return -1;
    pos = static_cast<size_t>(after);
    size_t parent_size = w.path.size();
    if (w.write) {
      w.path += '/';
      w.path += name;
    }
    if (type == kFile) {
      if (w.data.size() - pos < 4) return -1;
      uint32_t length = read_u32(w.data.data() + pos);
      pos += 4;
      if (length > w.data.size() - pos) return -1;
      if (w.write) write_file(w.path, w.data.data() + pos, length);
      pos += length;
    } else {
      if (w.write) dir_create(w.path.c_str());
      int saved = w.depth_len;
      w.depth_len = len;
      int64_t end = walk_body(w, pos);
      w.depth_len = saved;
      if (end < 0) return -1;
      pos = static_cast<size_t>(end);
    }
    w.path.resize(parent_size);
  }
}

// The package without its checksum word, or an empty span when it cannot
// be one (too short or no start byte).
std::span<const uint8_t> walk_area(std::span<const uint8_t> data) {
  if (data.size() < 6 || data[0] != kStart) return {};
  return data.first(data.size() - 4);
}

int64_t build_body(const std::string& folder, int depth_len, std::string& out, std::string& error) {
  DirList list;
  if (dir_list(folder.c_str(), 3, list) < 0) {
    error = "cannot list " + folder;
    return -1;
  }
  for (const DirEntry& e : list.entries) {
    std::string path = folder + "/" + e.name;
    if (!webpack_name_ok(e.name)) {
      error = "name not allowed in a package: " + path;
      return -1;
    }
    int len = depth_len + 1 + static_cast<int>(e.name.size());
    if (len > kWebpackPathMax) {
      error = "path too long for a package: " + path;
      return -1;
    }
    out.push_back(static_cast<char>(e.kind == 1 ? kFolder : kFile));
    out += e.name;
    out.push_back('\0');
    if (e.kind == 1) {
      if (build_body(path, len, out, error) < 0) return -1;
      continue;
    }
    std::string data;
    if (file_read_all(path.c_str(), data, kWebpackSizeMax) < 0) {
      error = "cannot read " + path;
      return -1;
    }
    put_u32(out, static_cast<uint32_t>(data.size()));
    out += data;
    if (static_cast<int64_t>(out.size()) > kWebpackSizeMax) {
      error = "tree too large for a package";
      return -1;
    }
  }
  out.push_back(static_cast<char>(kEnd));
  return static_cast<int64_t>(out.size());
}

bool exists(const char* path) { return path_kind(path) != 0; }

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

bool webpack_name_ok(std::string_view name) {
  if (name.empty() || name.size() > kWebpackPathMax) return false;
  // Covers "." and "..", and the trailing dots and blanks that Windows
  // drops, which would let two names meet in one file.
  if (name.back() == '.' || name.back() == ' ') return false;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
    if (std::strchr("/\\:*?\"<>|", c)) return false;
  }
  if (!utf8_valid(name)) return false;
  return !is_device_name(name);
}

bool webpack_verify(std::span<const uint8_t> data) {
  if (data.empty() || data.size() % 4 != 0 || static_cast<int64_t>(data.size()) > kWebpackSizeMax) return false;
  if (data[0] != kStart) return false;
  if (checksum(data.first(data.size() - 4)) != read_u32(data.data() + data.size() - 4)) return false;
  return webpack_unpack(nullptr, data) >= 0;
}

int webpack_unpack(const char* target, std::span<const uint8_t> data) {
  Walk w;
  w.data = walk_area(data);
  if (w.data.empty()) return -1;
  if (target) {
    if (dir_create(target) != 0) return -1;
    w.write = true;
    w.path = target;
  }
  int64_t end = walk_body(w, 1);
  return end < 0 ? -1 : static_cast<int>(end - 1);
}

void webpack_recover() {
  if (path_kind(kWebFolder) != 1) {
    // The old tree is moved aside only after the new one is complete, so
    // with both present the new one is whole. Without an old tree, the new
    // one may be partial; it goes, and the install runs again because the
    // build number was not written.
    if (exists(kWebFolderOld)) {
      if (path_kind(kWebFolderNew) == 1 && file_move(kWebFolderNew, kWebFolder) == 0) {
        tree_delete(kWebFolderOld);
      } else {
        file_move(kWebFolderOld, kWebFolder);
      }
    }
  }
  if (exists(kWebFolderNew)) tree_delete(kWebFolderNew);
  if (path_kind(kWebFolder) == 1 && exists(kWebFolderOld)) tree_delete(kWebFolderOld);
}

int webpack_install(std::span<const uint8_t> data) {
  if (!webpack_verify(data)) return -1;
  webpack_recover();
  if (exists(kWebFolderNew) || webpack_unpack(kWebFolderNew, data) < 0) {
    tree_delete(kWebFolderNew);
    return -1;
  }
  bool had_old = exists(kWebFolder);
  if (had_old && file_move(kWebFolder, kWebFolderOld) != 0) {
    tree_delete(kWebFolderNew);
    return -1;
  }
  if (file_move(kWebFolderNew, kWebFolder) != 0) {
    if (had_old) file_move(kWebFolderOld, kWebFolder);
    tree_delete(kWebFolderNew);
    return -1;
  }
  if (had_old) tree_delete(kWebFolderOld);
  return 0;
}

int32_t webpack_installed_build() {
  // Without a web folder nothing is installed, whatever the file says.
  if (path_kind(kWebFolder) != 1) return 0;
  FILE* f = file_open(kBuildFile, "rb");
  if (!f) return 0;
  char text[kBuildTextMax + 1];
  size_t n = std::fread(text, 1, kBuildTextMax, f);
  std::fclose(f);
  text[n] = '\0';
  text_trim(text);
  return parse_int(text);
}

int webpack_install_local() {
  webpack_recover();
  std::string pack = profile_get("appinfo.inf", "[app]", "packwww");
  if (pack.empty() || path_kind(pack.c_str()) != 2) return 0;
  std::string build = profile_get("appinfo.inf", "[app]", "build");
  if (build.empty()) return 0;
  if (webpack_installed_build() >= parse_int(build.c_str())) return 0;
  std::string data;
  if (file_read_all(pack.c_str(), data, kWebpackSizeMax) < 0) return -1;
  if (webpack_install(bytes(data)) != 0) return -1;
  dir_create("var");
  if (file_write_atomic(kBuildFile, build) != 0) return -1;
  return 1;
}

int64_t webpack_build(const char* folder, std::string& out, std::string& error) {
  out.clear();
  error.clear();
  if (!folder || path_kind(folder) != 1) {
    error = std::string("no folder ") + (folder ? folder : "");
    return -1;
  }
  out.push_back(static_cast<char>(kStart));
  if (build_body(folder, kRootPrefix - 1, out, error) < 0) {
    out.clear();
    return -1;
  }
  out.push_back(static_cast<char>(kTrailer));
  while ((out.size() + 4) % 4 != 0) out.push_back('\0');
  put_u32(out, checksum(bytes(out)));
  return static_cast<int64_t>(out.size());
}
