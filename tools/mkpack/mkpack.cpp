// mkpack: builds the web package "pack.www" from the web application's
// folder tree.
//
//   mkpack FOLDER OUTPUT
//
// Entries are written in sorted order, so the same tree always gives the
// same package; names starting with "." are left out. A name that the
// service would refuse to install stops the build with a message instead of
// producing a package that no service accepts.
#include <cstdio>
#include <string>

#include "service/cloud/webpack.h"
#include "service/core/file_util.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: mkpack FOLDER OUTPUT\n");
    return 2;
  }
  std::string pack, error;
  if (webpack_build(argv[1], pack, error) < 0) {
    std::fprintf(stderr, "mkpack: %s\n", error.c_str());
    return 1;
  }
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(pack.data()), pack.size());
  if (!webpack_verify(bytes)) {
    std::fprintf(stderr, "mkpack: the package built does not verify\n");
    return 1;
  }
  if (file_write_atomic(argv[2], pack) != 0) {
    std::fprintf(stderr, "mkpack: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("mkpack: %s, %zu bytes\n", argv[2], pack.size());
  return 0;
}
