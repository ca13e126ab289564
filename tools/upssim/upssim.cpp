// upssim: a UPS on a pseudo-terminal, for tests, the demo and development.
//
// It opens a pseudo-terminal, prints its device path (and links it where
// --link says), and answers the service's frames like a real UPS of the
// chosen kind. Its state changes while it runs: through the commands the
// service sends ("T", "QT", "TL", "CT", "Q", "S.2R9999", "C") and through
// one-line control commands written to the FIFO named by --control:
//
//   mains on|off          battery PERCENT        drain PERCENT_PER_MINUTE
//   low on|off            overload on|off        temp CELSIUS
//   output on|off         beeper on|off          test run|pass|fail|abort|none
//   outcome pass|fail     (result of the next test that ends by itself)
//   fault none|silent|garbage|long|trickle
//   disconnect            reconnect              quit
//
// Fault modes: silent (an unplugged cable), garbage bytes, replies longer
// than 128 bytes without CR, replies trickled at real 2400-baud timing;
// disconnect closes the terminal (the device vanishes) and reconnect opens
// a new one behind the same link.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>

namespace {

enum class Kind { Q1, QS, Rtq6 };
enum class Fault { None, Silent, Garbage, Long, Trickle };
enum class Test { None, Running, Passed, Failed, Aborted };

struct Options {
  Kind kind = Kind::Q1;
  std::string link;
  std::string control;
  std::string log;
  double lifetime = 0;  // seconds; 0 = until told to quit
};

struct State {
  bool mains = true;
  double battery = 100;  // percent
  double drain = 10;     // percent per minute on battery
  bool low_forced = false;
  bool overload = false;
  double temp = 25;
  bool output = true;
  bool beeper = false;
  Test test = Test::None;
  int test_kind = 0;  // 1 T, 2 QT, 3 TL
  double test_end = 0;
  bool next_fails = false;
  bool shutdown_pending = false;
  double shutdown_at = 0;
  double restore_at = 0;  // 0: no restore scheduled
  Fault fault = Fault::None;
};

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

Options g_opt;
State g_state;
int g_master = -1, g_slave = -1;
std::string g_slave_path;
std::string g_input;
std::deque<char> g_out;
double g_next_trickle = 0;
FILE* g_log = nullptr;
std::mt19937 g_rng(12345);

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void note(const char* what, const std::string& text) {
  std::string shown;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') shown += "\\r";
    else if (u < 0x20 || u >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      shown += hex;
    } else shown += c;
  }
  std::printf("%s %s\n", what, shown.c_str());
  std::fflush(stdout);
  if (g_log) {
    std::fprintf(g_log, "%s %s\n", what, shown.c_str());
    std::fflush(g_log);
  }
}

// ---------------------------------------------------------------------------
// The terminal.

bool open_terminal() {
  g_master = posix_openpt(O_RDWR | O_NOCTTY);
  if (g_master < 0 || grantpt(g_master) != 0 || unlockpt(g_master) != 0) return false;
  const char* name = ptsname(g_master);
  if (!name) return false;
  g_slave_path = name;
  fcntl(g_master, F_SETFL, fcntl(g_master, F_GETFL) | O_NONBLOCK);
  fcntl(g_master, F_SETFD, FD_CLOEXEC);
  // Keeping one slave descriptor open means the master never sees a hang
  // up while the service closes and reopens the port; raw mode keeps the
  // line discipline from echoing or translating CR.
  g_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (g_slave >= 0) {
    termios tio{};
    if (tcgetattr(g_slave, &tio) == 0) {
      cfmakeraw(&tio);
      cfsetispeed(&tio, B2400);
      cfsetospeed(&tio, B2400);
      tcsetattr(g_slave, TCSANOW, &tio);
    }
  }
  if (!g_opt.link.empty()) {
    unlink(g_opt.link.c_str());
    if (symlink(name, g_opt.link.c_str()) != 0) std::perror("upssim: link");
  }
  note("pty", g_slave_path);
  return true;
}

// The link is removed only while it still names this simulator's terminal:
// a second simulator started on the same path must keep its link.
void remove_own_link() {
  if (g_opt.link.empty()) return;
  char target[256];
  ssize_t n = readlink(g_opt.link.c_str(), target, sizeof target - 1);
  if (n < 0) return;
  target[n] = 0;
  if (g_slave_path == target) unlink(g_opt.link.c_str());
}

void close_terminal() {
  remove_own_link();
  if (g_slave >= 0) close(g_slave);
  if (g_master >= 0) close(g_master);
  g_slave = g_master = -1;
  g_out.clear();
  g_input.clear();
}

void send(const std::string& reply) {
  if (reply.empty()) return;
  note("tx", reply);
  for (char c : reply) g_out.push_back(c);
}

void flush_output(double now) {
  if (g_master < 0 || g_out.empty()) return;
  if (g_state.fault == Fault::Trickle) {
    // One byte per character time at 2400 bit/s (10 bits per byte).
    while (!g_out.empty() && now >= g_next_trickle) {
      char c = g_out.front();
      if (write(g_master, &c, 1) != 1) return;
      g_out.pop_front();
      g_next_trickle = (g_next_trickle > now - 0.1 ? g_next_trickle : now) + 10.0 / 2400.0;
    }
    return;
  }
  std::string chunk(g_out.begin(), g_out.end());
  ssize_t n = write(g_master, chunk.data(), chunk.size());
  if (n > 0) g_out.erase(g_out.begin(), g_out.begin() + n);
}

// ---------------------------------------------------------------------------
// The UPS model.

// Cell voltage that the service's charge curve turns back into percent.
double cell_volts(double percent) {
  if (percent >= 99.5) return 2.27;
  double s = (100.0 - percent) / 10.0;
  double ratio = 60.0 + std::sqrt(std::max(0.0, (10000.0 - 100.0 * s * s) / 4.0));
  return ratio / 50.0;
}

bool battery_low() { return g_state.low_forced || g_state.battery < 20; }
bool on_battery() { return !g_state.mains || g_state.test == Test::Running; }

std::string status_bits() {
  std::string b = "00001000";
  b[0] = g_state.mains ? '0' : '1';
  b[1] = battery_low() ? '1' : '0';
  b[5] = g_state.test == Test::Running ? '1' : '0';
  b[6] = (g_state.shutdown_pending || !g_state.output) ? '1' : '0';
  b[7] = g_state.beeper ? '1' : '0';
  return b;
}

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string reply_q1() {
  double in = g_state.mains ? 230.0 : 0.0;
  double out = g_state.output ? 229.0 : 0.0;
  int load = g_state.output ? (g_state.overload ? 112 : 12) : 0;
  return fmt("(%.1f %.1f %.1f %03d 50.0 %.2f %.1f %s\r", in, in, out, load, cell_volts(g_state.battery),
             g_state.temp, status_bits().c_str());
}

std::string reply_q6() {
  double in = g_state.mains ? 230.0 : 0.0;
  double out = g_state.output ? 220.0 : 0.0;
  int load = g_state.output ? (g_state.overload ? 112 : 35) : 0;
  double half = 120.0 * (cell_volts(g_state.battery) / 2.2);
  char mode = !g_state.output ? '0' : g_state.test == Test::Running ? '5' : !g_state.mains ? '4' : '3';
  char result = "01234"[static_cast<int>(g_state.test)];
  return fmt("(%.1f %.1f %.1f 50.0 %.1f %.1f %.1f 50.0 %03d %03d %03d %.1f %.1f %03d %03d %03d %c%c 000 000\r", in,
             in, in, out, out, out, load, load, load, half, half, static_cast<int>(g_state.temp),
             static_cast<int>(g_state.battery * 0.45), static_cast<int>(g_state.battery), mode, result);
}

void start_test(int kind, double now) {
  g_state.test = Test::Running;
  g_state.test_kind = kind;
  g_state.test_end = kind == 1 ? now + 10 : kind == 2 ? now + 15 : 0;  // TL: until battery low
}

void end_test(Test result) {
  if (g_state.test != Test::Running) return;
  g_state.test = result;
  g_state.next_fails = false;
  note("state", result == Test::Passed ? "test passed" : result == Test::Failed ? "test failed" : "test aborted");
}

// "S.2R9999": shut down in .2 minutes, restore after 9999 minutes.
void schedule_shutdown(const std::string& cmd, double now) {
  size_t r = cmd.find('R');
  double minutes = std::atof(cmd.substr(1, r == std::string::npos ? std::string::npos : r - 1).c_str());
  g_state.shutdown_pending = true;
  g_state.shutdown_at = now + minutes * 60;
  g_state.restore_at = r == std::string::npos ? 0 : std::atof(cmd.c_str() + r + 1) * 60;
}

std::string garbage() {
  std::string g;
  int n = 10 + static_cast<int>(g_rng() % 70);
  for (int i = 0; i < n; ++i) g += static_cast<char>(g_rng() % 256);
  if (g_rng() % 2) g += '\r';
  return g;
}

// A UPS command from the service: the reply, or "" for none.
std::string answer(const std::string& cmd, double now) {
  if (g_state.fault == Fault::Silent) return "";
  if (g_state.fault == Fault::Garbage) return garbage();
  if (g_state.fault == Fault::Long) return std::string(200, 'A');
  Kind k = g_opt.kind;
  if (cmd == "I" && k == Kind::Q1) return "#SimPower Inc.  LS-1000 2.10\r";
  if (cmd == "F" && k == Kind::Q1) return "#220.0 004 12.00 50.0\r";
  if (cmd == "Q1" && (k == Kind::Q1 || k == Kind::Rtq6)) return reply_q1();
  if (cmd == "QS" && k == Kind::QS) return reply_q1();
  if (cmd == "RT" && k == Kind::Rtq6) return "(01.20 0 SIM-RT3K 0 3 220 50 12 20 0 3000\r";
  if (cmd == "Q6" && k == Kind::Rtq6) return reply_q6();
  if (cmd == "T") start_test(1, now);
  else if (cmd == "QT") start_test(2, now);
  else if (cmd == "TL") start_test(3, now);
  else if (cmd == "CT") end_test(Test::Aborted);
  else if (cmd == "Q") g_state.beeper = !g_state.beeper;
  else if (cmd == "C") {
    g_state.shutdown_pending = false;
    g_state.output = true;
  } else if (cmd.size() > 1 && cmd[0] == 'S') {
    schedule_shutdown(cmd, now);
  }
  return "";
}

void advance(double now, double dt) {
  State& s = g_state;
  if (on_battery() && s.output) {
    // A deep test drains quickly so that it ends in reasonable time.
    double rate = s.test == Test::Running && s.test_kind == 3 ? 60.0 : s.drain;
    s.battery = std::max(0.0, s.battery - rate * dt / 60.0);
  } else if (s.mains && s.battery < 100) {
    s.battery = std::min(100.0, s.battery + 20.0 * dt / 60.0);
  }
  if (s.test == Test::Running) {
    bool ended = s.test_kind == 3 ? battery_low() : now >= s.test_end;
    if (ended) end_test(s.next_fails ? Test::Failed : Test::Passed);
  }
  if (s.shutdown_pending && now >= s.shutdown_at) {
    s.shutdown_pending = false;
    s.output = false;
    note("state", "output off");
    if (s.restore_at > 0) s.restore_at += now;
  }
  if (!s.output && s.restore_at > 0 && now >= s.restore_at && s.mains) {
    s.output = true;
    s.restore_at = 0;
    note("state", "output restored");
  }
}

void read_terminal(double now) {
  char buf[256];
  ssize_t n = read(g_master, buf, sizeof buf);
  if (n <= 0) return;
  for (ssize_t i = 0; i < n; ++i) {
    char c = buf[i];
    if (c == '\n') continue;
    if (c != '\r') {
      if (g_input.size() < 128) g_input += c;
      continue;
    }
    note("rx", g_input);
    send(answer(g_input, now));
    g_input.clear();
  }
}

// ---------------------------------------------------------------------------
// Control commands.

bool on_off(const std::string& v) { return v == "on" || v == "1" || v == "true"; }

void control(const std::string& line, double now) {
  note("ctl", line);
  size_t sp = line.find(' ');
  std::string word = line.substr(0, sp);
  std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
  State& s = g_state;
  if (word == "mains") s.mains = on_off(value);
  else if (word == "battery") s.battery = std::clamp(std::atof(value.c_str()), 0.0, 100.0);
  else if (word == "drain") s.drain = std::max(0.0, std::atof(value.c_str()));
  else if (word == "low") s.low_forced = on_off(value);
  else if (word == "overload") s.overload = on_off(value);
  else if (word == "temp") s.temp = std::atof(value.c_str());
  else if (word == "output") s.output = on_off(value);
  else if (word == "beeper") s.beeper = on_off(value);
  else if (word == "outcome") s.next_fails = value == "fail";
  else if (word == "test") {
    if (value == "run") start_test(1, now);
    else if (value == "pass") end_test(Test::Passed);
    else if (value == "fail") end_test(Test::Failed);
    else if (value == "abort") end_test(Test::Aborted);
    else if (value == "none") s.test = Test::None;
  } else if (word == "fault") {
    s.fault = value == "silent" ? Fault::Silent : value == "garbage" ? Fault::Garbage
            : value == "long"   ? Fault::Long   : value == "trickle" ? Fault::Trickle : Fault::None;
  } else if (word == "disconnect") {
    close_terminal();
  } else if (word == "reconnect") {
    if (g_master < 0 && !open_terminal()) g_stop = 1;
  } else if (word == "quit") {
    g_stop = 1;
  } else {
    note("ctl?", line);
  }
}

int open_control() {
  if (g_opt.control.empty()) return -1;
  unlink(g_opt.control.c_str());
  if (mkfifo(g_opt.control.c_str(), 0600) != 0) {
    std::perror("upssim: control");
    return -1;
  }
  // Read and write: the FIFO never reports end of file between writers.
  return open(g_opt.control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

void read_control(int fd, std::string& pending, double now) {
  char buf[512];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return;
  pending.append(buf, static_cast<size_t>(n));
  for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
    std::string line = pending.substr(0, nl);
    pending.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) control(line, now);
  }
  if (pending.size() > 4096) pending.clear();
}

int usage() {
  std::fprintf(stderr,
               "usage: upssim [--kind q1|qs|rtq6] [--link PATH] [--control FIFO] [--log FILE]\n"
               "              [--lifetime SECONDS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string v = i + 1 < argc ? argv[i + 1] : "";
    if (a == "--kind" && i + 1 < argc) {
      g_opt.kind = v == "qs" ? Kind::QS : v == "rtq6" ? Kind::Rtq6 : Kind::Q1;
      if (v != "qs" && v != "rtq6" && v != "q1") return usage();
    } else if (a == "--link" && i + 1 < argc) {
      g_opt.link = v;
    } else if (a == "--control" && i + 1 < argc) {
      g_opt.control = v;
    } else if (a == "--log" && i + 1 < argc) {
      g_opt.log = v;
    } else if (a == "--lifetime" && i + 1 < argc) {
      g_opt.lifetime = std::atof(v.c_str());
    } else {
      return usage();
    }
    ++i;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGPIPE, SIG_IGN);
  if (!g_opt.log.empty()) g_log = std::fopen(g_opt.log.c_str(), "a");
  int ctl = open_control();
  if (!open_terminal()) {
    std::fprintf(stderr, "upssim: no pseudo-terminal\n");
    return 1;
  }
  std::string pending;
  double start = now_s(), last = start;
  while (!g_stop) {
    pollfd fds[2] = {{g_master, POLLIN, 0}, {ctl, POLLIN, 0}};
    poll(fds, 2, 5);
    double now = now_s();
    if (g_opt.lifetime > 0 && now - start > g_opt.lifetime) break;
    advance(now, now - last);
    last = now;
    if (g_master >= 0 && (fds[0].revents & POLLIN)) read_terminal(now);
    if (ctl >= 0 && (fds[1].revents & POLLIN)) read_control(ctl, pending, now);
    flush_output(now);
  }
  close_terminal();
  if (ctl >= 0) {
    close(ctl);
    unlink(g_opt.control.c_str());
  }
  if (g_log) std::fclose(g_log);
  return 0;
}
