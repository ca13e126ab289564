#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/process.h"

namespace kvtest {

int64_t real_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {
// Takes what the ended process left in the pipe.
void drain(ChildProcess& child) {
  if (child.out < 0) return;
  char buf[4096];
  ssize_t n;
  while ((n = read(static_cast<int>(child.out), buf, sizeof buf)) > 0) child.output.append(buf, static_cast<std::size_t>(n));
  close(static_cast<int>(child.out));
  child.out = -1;
}
}  // namespace

bool child_start(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd,
                 ChildProcess& child) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    // The child starts with default signal handling whatever the test has.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  child.pid = pid;
  child.out = fds[0];
  return true;
}

bool child_read_until(ChildProcess& child, std::string_view needle, int timeout_ms) {
  int64_t end = real_ms() + timeout_ms;
  for (;;) {
    if (child.output.find(needle) != std::string::npos) return true;
    int64_t left = end - real_ms();
    if (left <= 0 || child.out < 0) return false;
    pollfd p{static_cast<int>(child.out), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t n = read(static_cast<int>(child.out), buf, sizeof buf);
    if (n > 0) {
      child.output.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      close(static_cast<int>(child.out));
      child.out = -1;
    }
  }
}

void child_request_quit(ChildProcess& child) {
  if (child.pid > 0) kill(static_cast<pid_t>(child.pid), SIGTERM);
}

int child_wait(ChildProcess& child, int timeout_ms) {
  if (child.pid <= 0) return -1;
  int64_t end = real_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(static_cast<pid_t>(child.pid), &status, WNOHANG);
    if (r == child.pid) {
      child.pid = -1;
      drain(child);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (real_ms() >= end) return -1;
    usleep(5000);
  }
}

void child_kill(ChildProcess& child) {
  if (child.pid <= 0) return;
  kill(static_cast<pid_t>(child.pid), SIGKILL);
  child_wait(child, 5000);
}

bool copy_file(const std::string& from, const std::string& to) {
  FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) return false;
  FILE* out = std::fopen(to.c_str(), "wb");
  if (!out) {
    std::fclose(in);
    return false;
  }
  char buf[65536];
  std::size_t n;
  bool ok = true;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) ok = ok && std::fwrite(buf, 1, n, out) == n;
  std::fclose(in);
  ok = std::fclose(out) == 0 && ok;
  struct stat st{};
  if (ok && stat(from.c_str(), &st) == 0) chmod(to.c_str(), st.st_mode & 0777);
  return ok;
}

}  // namespace kvtest

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace kvtest {

void set_env(const char* name, const char* value) { setenv(name, value, 1); }

bool tcp_probe(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

}  // namespace kvtest
