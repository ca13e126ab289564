// Web packages come from the update server, so any bytes may arrive. The
// input is a package; its checksum is made to match (unless the first byte
// says otherwise) so that the walk itself is reached. A package that
// verifies is unpacked into a private scratch folder, and nothing may
// appear beside the target folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/cloud/webpack.h"
#include "service/core/file_util.h"

namespace {

const std::string& folder() { return fuzz_scratch_folder("webpack"); }

void fix_checksum(std::string& pack) {
  if (pack.size() < 8 || pack.size() % 4 != 0) return;
  uint32_t x = 0;
  for (size_t i = 0; i + 4 < pack.size(); i += 4) {
    auto b = reinterpret_cast<const uint8_t*>(pack.data() + i);
    x ^= b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
  }
  for (int i = 0; i < 4; ++i) pack[pack.size() - 4 + i] = static_cast<char>((x >> (8 * i)) & 0xFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string pack(reinterpret_cast<const char*>(data), size);
  // Inputs starting 0x80 are taken as packages whose checksum is right.
  if (!pack.empty() && static_cast<uint8_t>(pack[0]) == 0x80) fix_checksum(pack);
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(pack.data()), pack.size());

  int dry = webpack_unpack(nullptr, bytes);
  require(dry < static_cast<int>(pack.size()));
  if (!webpack_verify(bytes)) return 0;
  require(dry > 0);

  std::string target = folder() + "/in";
  int written = webpack_unpack(target.c_str(), bytes);
  require(written == dry);
  DirList list;
  require(dir_list(folder().c_str(), 0x10 | 3, list) == 1);
  require(list.entries[0].name == "in");
  tree_delete(target.c_str());
  return 0;
}
