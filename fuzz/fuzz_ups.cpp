// Arbitrary bytes from a UPS: every driver parser, the frame splitter and
// the command formatter must take them without reading past the end,
// overflowing or hanging.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "service/ups/ups_driver.h"
#include "service/ups/ups_status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  frame_split(bytes);
  // The link hands a parser the bytes before the first CR; the fuzzer also
  // tries the whole input, CRs included.
  int r = frame_split(bytes);
  std::string_view frame = r > 0 && static_cast<size_t>(r) <= size ? bytes.substr(0, static_cast<size_t>(r)) : bytes;
  for (UpsDriver& d : ups_drivers) {
    ups_status_reset();
    d.init();
    for (DriverStep* s = d.steps; s->parser; ++s) {
      s->parser(static_cast<int>(s - d.steps), frame, static_cast<int>(frame.size()), d.steps);
      s->parser(static_cast<int>(s - d.steps), bytes, static_cast<int>(bytes.size()), d.steps);
    }
    // A second pass with the ratings the first one may have written.
    for (DriverStep* s = d.steps; s->parser; ++s)
      s->parser(static_cast<int>(s - d.steps), frame, static_cast<int>(frame.size()), d.steps);
    ups_publish();
  }
  char buffer[128];
  size_t n = size < sizeof buffer - 1 ? size : sizeof buffer - 1;
  std::memcpy(buffer, data, n);
  buffer[n] = '\0';
  format_service_command(buffer, static_cast<int>(n));
  return 0;
}
