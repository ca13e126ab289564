#include <cstdio>

#include "service/supervision/sup_common.h"

// The C library's fseek takes a 32-bit long here; record logs reach 100 MiB
// and a stray file may be larger.
int file_seek(std::FILE* f, int64_t offset) {
  if (!f || offset < 0) return -1;
  return _fseeki64(f, offset, SEEK_SET) == 0 ? 0 : -1;
}
