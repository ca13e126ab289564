// Command family for files and the system. Paths are mapped and checked by
// script_map_path; a refused path, a missing file or a failed call leaves
// things as they were and gives no text.
#include <cstdio>
#include <cstring>
#include <string>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/script/script_internal.h"
#include "service/script/script_os.h"

namespace {

constexpr const char* kSystemOut = "system_out";
constexpr int kTreeDepth = 32;
constexpr int kTempNameTries = 100000;

struct Mapped {
  char path[kScriptPathSize];
  bool ok = false;
  explicit Mapped(const char* web) { ok = script_map_path(web, path) > 0; }
};

// Reads a whole file into the output; one that does not fit overflows it.
void put_file(ScriptOut& out, const char* path) {
  FILE* f = file_open(path, "rb");
  if (!f) return;
  for (;;) {
    const std::span<char> room = out.room();
    const std::size_t want = room.size() - 1;
    const std::size_t got = want ? std::fread(room.data(), 1, want, f) : 0;
    out.commit(got);
    if (got < want) break;
    // The room is full: one more byte means the file does not fit.
    char probe;
    if (std::fread(&probe, 1, 1, f) == 1) out.overflow = true;
    break;
  }
  std::fclose(f);
}

void cmd_save(const ScriptArgs& a, ScriptOut&) {
  const Mapped m(a[2]);
  if (!m.ok) return;
  if (a[1][0] == '\0') {
    file_delete(m.path);
    return;
  }
  file_write_atomic(m.path, a[1]);
}

void cmd_save_post(const ScriptArgs& a, ScriptOut&) {
  const Mapped m(a[1]);
  if (!m.ok) return;
  const int32_t size = script_number(var_view("request_bodysize"));
  if (size <= 0) return;
  const std::string_view body = var_view("request_body");
  // The size names the request's body; a shorter value (one the script set
  // itself) is never read past its end.
  const std::size_t n = static_cast<std::size_t>(size) < body.size() ? static_cast<std::size_t>(size) : body.size();
  file_write_atomic(m.path, body.substr(0, n));
}

void cmd_ftype(const ScriptArgs& a, ScriptOut& out) {
  const Mapped m(a[1]);
  if (!m.ok) return;
  const int kind = path_kind(m.path);
  if (kind == 1) out.put("1");
  if (kind == 2) out.put("2");
}

void cmd_ftime(const ScriptArgs& a, ScriptOut& out) {
  const Mapped m(a[1]);
  if (!m.ok || path_kind(m.path) == 0) return;
  int64_t t = script_os_mtime(m.path);
  if (t == -1) return;
  if (t < 0) t = 946684800;  // 2000-01-01 when the time cannot be read
  if (t == 0) return;
  out.put_uint(static_cast<uint64_t>(t));
}

void cmd_fsize(const ScriptArgs& a, ScriptOut& out) {
  const Mapped m(a[1]);
  if (!m.ok || path_kind(m.path) != 2) return;
  const int64_t size = file_size(m.path);
  if (size > 0) out.put_uint(static_cast<uint32_t>(size));
}

void cmd_cat(const ScriptArgs& a, ScriptOut& out) {
  const bool strip = a.count() == 2;
  if (strip && !script_eq(a[1], "-n")) return;
  const Mapped m(a[strip ? 2 : 1]);
  if (!m.ok || path_kind(m.path) != 2) return;
  put_file(out, m.path);
  if (!strip || out.overflow) return;
  while (out.len > 0 && (out.data[out.len - 1] == ' ' || out.data[out.len - 1] == '\t' ||
                         out.data[out.len - 1] == '\r' || out.data[out.len - 1] == '\n')) {
    --out.len;
  }
  out.terminate();
}

void cmd_delete(const ScriptArgs& a, ScriptOut&) {
  const Mapped m(a[1]);
  if (m.ok && path_kind(m.path) != 0) tree_delete(m.path);
}

void cmd_rename(const ScriptArgs& a, ScriptOut&) {
  const Mapped from(a[1]), to(a[2]);
  if (!from.ok || !to.ok || std::strcmp(from.path, to.path) == 0) return;
  // Without a source there is nothing to move: the target is kept.
  if (path_kind(from.path) == 0) return;
  if (path_kind(from.path) == 2 && path_kind(to.path) == 2) {
    file_replace(from.path, to.path);
    return;
  }
  if (path_kind(to.path) != 0) tree_delete(to.path);
  file_move(from.path, to.path);
}

bool copy_pieces(const char* from, const char* to) {
  FILE* in = file_open(from, "rb");
  if (!in) return false;
  FILE* out = file_open(to, "wb");
  if (!out) {
    std::fclose(in);
    return false;
  }
  char piece[10240];
  bool ok = true;
  for (;;) {
    const std::size_t n = std::fread(piece, 1, sizeof piece, in);
    if (n > 0 && std::fwrite(piece, 1, n, out) != n) ok = false;
    if (n < sizeof piece || !ok) break;
  }
  if (std::ferror(in)) ok = false;
  std::fclose(in);
  if (std::fclose(out) != 0) ok = false;
  return ok;
}

void cmd_copy(const ScriptArgs& a, ScriptOut&) {
  const Mapped from(a[1]), to(a[2]);
  if (!from.ok || !to.ok || std::strcmp(from.path, to.path) == 0) return;
  const bool source = path_kind(from.path) == 2 && file_size(from.path) > 0;
  if (path_kind(to.path) == 1 || (!source && path_kind(to.path) != 0)) tree_delete(to.path);
  if (!source) return;
  // The copy goes to a scratch file that replaces the target only when it
  // is complete, so a failed copy never leaves half a file.
  std::string scratch = std::string(to.path) + ".copy~";
  if (scratch.size() >= kScriptPathSize) return;
  if (copy_pieces(from.path, scratch.c_str()) && file_replace(scratch.c_str(), to.path) == 0) return;
  file_delete(scratch.c_str());
}

void cmd_mkdir(const ScriptArgs& a, ScriptOut&) {
  const Mapped m(a[1]);
  if (m.ok) dir_create(m.path);
}

// The mask of ls and ls_first: 1 folders, 2 files, 3 both; 0 when nothing
// can match.
int list_mask(const ScriptArgs& a) {
  if (a.count() < 2 || a[2][0] == '\0') return 3;
  return script_number(a[2]) & 3;
}

bool list(const ScriptArgs& a, DirList& listing) {
  const int mask = list_mask(a);
  if (mask == 0) return false;
  const Mapped m(a[1]);
  if (!m.ok) return false;
  return dir_list(m.path, mask, listing) >= 0;
}

void cmd_ls(const ScriptArgs& a, ScriptOut& out) {
  DirList listing;
  if (!list(a, listing)) return;
  bool any = false;
  for (const DirEntry& e : listing.entries) {
    if (e.name.empty() || e.name[0] == '.') continue;
    out.put(any ? ",\"" : "[\"");
    if (e.kind == 1) out.put_char('@');
    out.put(e.name);
    out.put_char('"');
    any = true;
  }
  if (any) out.put_char(']');
}

void cmd_ls_first(const ScriptArgs& a, ScriptOut& out) {
  DirList listing;
  if (!list(a, listing)) return;
  for (const DirEntry& e : listing.entries) {
    if (e.name.empty() || e.name[0] == '.') continue;
    if (e.kind == 1) out.put_char('@');
    out.put(e.name);
    return;
  }
}

// shown is the path as printed (with "\" between the parts), path the one
// the file system is asked for.
void tree(ScriptOut& out, const std::string& shown, const std::string& path, int depth) {
  DirList listing;
  if (depth > kTreeDepth || dir_list(path.c_str(), 3, listing) < 0) return;
  for (const DirEntry& e : listing.entries) {
    if (out.overflow || script_stopped()) return;
    if (e.name.empty() || e.name[0] == '.') continue;
    const std::string entry_shown = shown + "\\" + e.name;
    const std::string entry_path = path + "/" + e.name;
    out.put(entry_shown);
    if (e.kind == 1) {
      out.put_char('\n');
      tree(out, entry_shown, entry_path, depth + 1);
      continue;
    }
    char size[32];
    std::snprintf(size, sizeof size, " (%d)\n", static_cast<int>(file_size(entry_path.c_str())));
    out.put(size);
  }
}

void cmd_tree(const ScriptArgs& a, ScriptOut& out) {
  const Mapped m(a[1]);
  if (!m.ok || path_kind(m.path) != 1) return;
  tree(out, m.path, m.path, 0);
}

void cmd_system(const ScriptArgs& a, ScriptOut& out) {
  if (a[1][0] == '\0') return;
  const ScriptSystemFn run = script_system_runner();
  // The old answer goes first, so that a command that fails to start is not
  // answered with the output of the one before.
  file_delete(kSystemOut);
  std::string line = a[1];
  line += ' ';
  for (int i = 2; i < a.n; ++i) {
    line += '"';
    line += a[i];
    line += "\" ";
  }
  line += "> ";
  line += kSystemOut;
  run(line.c_str());
  if (path_kind(kSystemOut) == 2) put_file(out, kSystemOut);
}

void cmd_temp_fname(const ScriptArgs& a, ScriptOut& out) {
  const std::string_view prefix = a[1];
  const bool ext = a.count() == 2;
  int64_t counter = unix_time();
  std::string name;
  for (int i = 0; i < kTempNameTries; ++i, ++counter) {
    name.assign(prefix);
    name += std::to_string(counter);
    if (ext) {
      name += '.';
      name += a[2];
    }
    const Mapped m(name.c_str());
    if (!m.ok) return;
    if (path_kind(m.path) == 0) {
      out.put(name);
      return;
    }
  }
}

void cmd_basename(const ScriptArgs& a, ScriptOut& out) {
  const char* slash = std::strrchr(a[1], '/');
  out.put(slash ? slash + 1 : a[1]);
}

void cmd_fext(const ScriptArgs& a, ScriptOut& out) {
  const char* dot = std::strrchr(a[1], '.');
  if (dot) out.put(dot + 1);
}

void cmd_fdir(const ScriptArgs& a, ScriptOut& out) {
  const char* slash = std::strrchr(a[1], '/');
  if (slash) out.put(std::string_view(a[1], static_cast<std::size_t>(slash - a[1])));
}

const ScriptCommandDef kFiles[] = {
    {"save", 2, 2, cmd_save},
    {"save_post", 1, 1, cmd_save_post},
    {"ftype", 1, 1, cmd_ftype},
    {"ftime", 1, 1, cmd_ftime},
    {"fsize", 1, 1, cmd_fsize},
    {"cat", 1, 2, cmd_cat},
    {"delete", 1, 1, cmd_delete},
    {"rename", 2, 2, cmd_rename},
    {"copy", 2, 2, cmd_copy},
    {"mkdir", 1, 1, cmd_mkdir},
    {"rmdir", 1, 1, cmd_delete},
    {"ls", 1, 2, cmd_ls},
    {"ls_first", 1, 2, cmd_ls_first},
    {"tree", 1, 1, cmd_tree},
    {"system", 1, -1, cmd_system},
    {"temp_fname", 1, 2, cmd_temp_fname},
    {"basename", 1, 1, cmd_basename},
    {"fext", 1, 1, cmd_fext},
    {"fdir", 1, 1, cmd_fdir},
};

}  // namespace

int script_family_files(const ScriptArgs& args, ScriptOut& out) { return script_run_table(kFiles, args, out); }
