#include <sys/types.h>

#include <cstdio>

#include "service/supervision/sup_common.h"

int file_seek(std::FILE* f, int64_t offset) {
  if (!f || offset < 0) return -1;
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}
