// Rewriting a log of fixed-length entries: the copy goes to the log's name
// with ".new" appended and then replaces the log in one atomic rename, so a
// crash at any moment leaves either the old log or the new one whole.
#pragma once
#include <cstdint>

// Called for every copied entry; may change it in place (then sets
// *changed) and returns false to drop it.
using LogEntryEdit = bool (*)(uint8_t* entry, int length, void* context, bool* changed);

struct LogRewrite {
  int header = 0;           // bytes before the first entry, copied unchanged
  int entry_length = 16;    // 1 to 4096
  int64_t first = 0;        // entries before this one are left out
  LogEntryEdit edit = nullptr;
  void* context = nullptr;
};

struct LogRewriteResult {
  int64_t kept = 0;
  int64_t dropped = 0;  // left out by first, dropped by edit, or a torn tail
  int64_t changed = 0;
  bool replaced = false;  // the log now holds the new content (or is gone)
};

// When nothing was dropped or changed the new file is deleted and the log
// stays; when no entry is left both files are deleted; otherwise the new
// file replaces the log. A torn last entry (a partial write) counts as
// dropped. 0, or -1 when the log cannot be read or the copy fails (the log
// is then left as it was).
int log_rewrite(const char* path, const LogRewrite& how, LogRewriteResult* result = nullptr);
