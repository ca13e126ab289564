// Serial ports on Linux and other POSIX systems: termios in raw mode, a
// non-blocking descriptor, and /sys/class/tty for discovery.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/core/clock.h"
#include "service/core/text.h"
#include "service/ups/serial_port.h"
#include "service/ups/ups_console.h"

namespace {


speed_t speed_of(int32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
  }
}

int fd_of(sport_t handle) { return static_cast<int>(handle); }

// Descriptors 0 to 2 are moved up: 0 is no valid handle, and a port must
// never end up as somebody's standard stream.
int lift_fd(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

int open_exclusive(const char* name) {
  int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  fd = lift_fd(fd);
  if (fd < 0) return -1;
  // Ports are not shared: another program (or a second link) that holds
  // the port makes the open fail, as it does on Windows.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int configure(int fd, int32_t baud) {
  speed_t speed = speed_of(baud);
  if (speed == B0) return -1;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return -1;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return -1;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return -1;
  // Pseudo-terminals and some USB adapters have no modem lines; that is
  // no reason to refuse the port.
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)ioctl(fd, TIOCMBIS, &lines);
  tcflush(fd, TCIOFLUSH);
  return 0;
}

bool read_text_file(const std::string& path, std::string& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[64];
  size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  out.assign(buf, n);
  return true;
}

// "ttyS10" sorts after "ttyS9": letters first, then the number.
bool natural_less(const std::string& a, const std::string& b) {
  size_t ia = a.find_first_of("0123456789");
  size_t ib = b.find_first_of("0123456789");
  std::string pa = a.substr(0, ia), pb = b.substr(0, ib);
  if (pa != pb) return pa < pb;
  std::string na = ia == std::string::npos ? "" : a.substr(ia);
  std::string nb = ib == std::string::npos ? "" : b.substr(ib);
  if (na.size() != nb.size()) return na.size() < nb.size();
  return na < nb;
}

// A real serial device: its sysfs entry links to a device, and a serial
// core port (8250 and relatives) reports a known UART type. Platforms
// register many ttyS entries with type 0 that have no hardware behind them.
bool usable_tty(const std::string& entry) {
  struct stat st{};
  if (stat((entry + "/device").c_str(), &st) != 0) return false;
  std::string type;
  if (read_text_file(entry + "/type", type)) {
    if (parse_int(std::string(trim_view(type)).c_str()) == 0) return false;
  }
  return true;
}

}  // namespace

sport_t sport_open(const char* name, int32_t baud) {
  if (!name) return -1;
  int fd = open_exclusive(name);
  if (fd < 0) {
    ups_print("sport ( %s ) open ..... Failed\n", name);
    return -1;
  }
  ups_print("sport ( %s ) open ..... OK\n", name);
  if (configure(fd, baud) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int sport_close(sport_t handle) {
  if (!sport_valid(handle)) return 0;
  close(fd_of(handle));
  return 0;
}

int sport_read(sport_t handle, uint8_t* buffer, int length) {
  if (!sport_valid(handle)) return -1;
  int got = 0;
  while (got < length) {
    ssize_t n = read(fd_of(handle), buffer + got, static_cast<size_t>(length - got));
    if (n > 0) {
      got += static_cast<int>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    // A raw termios read with nothing buffered may report either 0 or
    // EAGAIN; both mean "nothing more".
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return -1;
  }
  return got;
}

int sport_write(sport_t handle, const uint8_t* data, int length, int budget_ms) {
  if (length <= 0) return 0;
  if (!sport_valid(handle)) return -1;
  uint32_t start = tick_ms();
  int sent = 0;
  while (sent < length) {
    ssize_t n = write(fd_of(handle), data + sent, static_cast<size_t>(length - sent));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      n = 0;
    }
    sent += static_cast<int>(n);
    if (budget_ms == 0) return sent;
    if (budget_ms > 0 && tick_diff(tick_ms(), start) >= budget_ms) return sent;
    if (n == 0) sleep_ms(10);
  }
  return sent;
}

int sport_probe(const char* name) {
  if (!name) return -1;
  int fd = open_exclusive(name);
  if (fd < 0) return -1;
  close(fd);
  return 0;
}

const char* sport_system_root() { return "/sys/class/tty"; }

int sport_list_system(std::span<PortName> out, const char* root) {
  if (!root) root = sport_system_root();
  DIR* dir = opendir(root);
  if (!dir) return 0;
  std::vector<std::string> names;
  // Bounded: a strange folder must not grow the list without end.
  while (dirent* e = readdir(dir)) {
    if (names.size() >= 4096) break;
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (usable_tty(std::string(root) + "/" + name)) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), natural_less);
  int count = 0;
  for (const std::string& name : names) {
    if (count >= static_cast<int>(out.size())) break;
    std::string path = "/dev/" + name;
    if (path.size() >= sizeof out[0].text) continue;
    copy_cut(out[count].text, path);
    ++count;
  }
  return count;
}
