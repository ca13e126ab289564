// Shared by the fuzz targets: invariant checks that name their line, and a
// private scratch folder for targets that write files.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "service/core/file_util.h"

// Reports the broken invariant's line before stopping.
inline void fuzz_require_at(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "invariant at line %d broken\n", line);
  std::abort();
}
#define require(ok) fuzz_require_at((ok), __LINE__)

// Created under the temporary folder on first use and removed at exit. The
// name lives on the heap for good, so the exit handler never sees a
// destroyed string. One fuzz target uses one tag.
inline const std::string& fuzz_scratch_folder(const char* tag) {
  static const std::string* path = nullptr;
  if (path) return *path;
  std::random_device rd;
  char name[96];
  std::snprintf(name, sizeof name, "/kvfuzz-%s-%08x%08x", tag, rd(), rd());
  path = new std::string(system_temp_dir() + name);
  require(dir_create(path->c_str()) == 0);
  std::atexit([] { tree_delete(path->c_str()); });
  return *path;
}
