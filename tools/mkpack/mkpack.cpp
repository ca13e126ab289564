// mkpack: builds the web package "pack.www" from the web application's
// folder tree.
//
//   mkpack [--sign KEYFILE] FOLDER OUTPUT
//
// With --sign the package is also signed: KEYFILE holds the Ed25519
// private key as 64 hex digits, and the detached signature (64 bytes) is
// written to OUTPUT.sig, the file an update server offers next to the
// package.
//
// Entries are written in sorted order, so the same tree always gives the
// same package; names starting with "." are left out. A name that the
// service would refuse to install stops the build with a message instead of
// producing a package that no service accepts.
#include <cstdio>
#include <string>

#include "service/cloud/update.h"
#include "service/cloud/webpack.h"
#include "service/core/file_util.h"

namespace {

// 64 hex digits, white space around them allowed.
bool read_key(const char* path, uint8_t key[kPackKeyBytes]) {
  std::string text;
  if (file_read_all(path, text, 4096) < 0) return false;
  std::string hex;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') hex += c;
  }
  if (hex.size() != 2 * kPackKeyBytes) return false;
  for (int i = 0; i < kPackKeyBytes; ++i) {
    unsigned v = 0;
    if (std::sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1) return false;
    key[i] = static_cast<uint8_t>(v);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* key_file = nullptr;
  if (argc == 5 && std::string(argv[1]) == "--sign") {
    key_file = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: mkpack [--sign KEYFILE] FOLDER OUTPUT\n");
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
  if (key_file) {
    uint8_t key[kPackKeyBytes], signature[kPackSignatureBytes];
    if (!read_key(key_file, key) || pack_sign(bytes, std::span<const uint8_t>(key, kPackKeyBytes), signature) != 0) {
      std::fprintf(stderr, "mkpack: cannot sign with %s\n", key_file);
      return 1;
    }
    std::string sig_path = std::string(argv[2]) + ".sig";
    if (file_write_atomic(sig_path.c_str(), std::string_view(reinterpret_cast<char*>(signature), sizeof signature)) !=
        0) {
      std::fprintf(stderr, "mkpack: cannot write %s\n", sig_path.c_str());
      return 1;
    }
  }
  std::printf("mkpack: %s, %zu bytes\n", argv[2], pack.size());
  return 0;
}
