// Linux: the sound goes to the first player the machine has (PulseAudio,
// PipeWire, ALSA); the shutdown script is a shell script.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "service/core/file_util.h"
#include "service/core/text.h"
#include "service/supervision/local_action.h"

namespace {

constexpr const char* kShutdownScript = "alarm/shutdown.sh";
constexpr const char* kPlayers[] = {"paplay", "pw-play", "aplay"};

std::string g_search_path;
bool g_search_override = false;
// The player is our own child: its id stays ours until it is reaped, so
// stopping it can never hit another process.
pid_t g_player = -1;

bool executable(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string find_player() {
  std::string folders = g_search_override ? g_search_path : (std::getenv("PATH") ? std::getenv("PATH") : "");
  SplitList dirs = text_split(folders, ':');
  for (const char* name : kPlayers) {
    for (const std::string& dir : dirs.items) {
      if (dir.empty()) continue;
      std::string candidate = dir + "/" + name;
      if (executable(candidate)) return candidate;
    }
  }
  return {};
}

void reap_player(bool stop) {
  if (g_player <= 0) return;
  if (stop) kill(g_player, SIGTERM);
  pid_t r;
  do {
    r = waitpid(g_player, nullptr, stop ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != 0) g_player = -1;
}

}  // namespace

void sound_set_search_path(const char* folders) {
  g_search_override = folders != nullptr;
  g_search_path = folders ? folders : "";
}

std::string sound_player() { return find_player(); }

void sound_play(const char* path) {
  if (!path) return;
  reap_player(true);
  std::string player = find_player();
  if (player.empty()) return;
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      if (null_fd > 2) close(null_fd);
    }
    execl(player.c_str(), player.c_str(), path, static_cast<char*>(nullptr));
    _exit(127);
  }
  g_player = pid;
}

void sound_stop() { reap_player(true); }

bool shutdown_script_start() {
  if (path_kind(kShutdownScript) != 2) return false;
  return start_program("/bin/sh alarm/shutdown.sh");
}
