// The system side of name resolution on Linux.
#include <sys/random.h>

#include <cerrno>

#include "service/net/resolve.h"

const char* dns_system_hosts_path() { return "/etc/hosts"; }

int dns_random_bytes(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 0;
}
