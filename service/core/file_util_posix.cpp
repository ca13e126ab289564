#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "service/core/file_util.h"

extern char** environ;

// On this system paths are UTF-8 with "/" already: the names pass unchanged.

FILE* file_open(const char* path, const char* mode) {
  if (!path || !*path) return nullptr;
  return std::fopen(path, mode);
}

int path_kind(const char* path) {
  struct stat st{};
  if (!path || !*path || stat(path, &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) return 1;
  return S_ISREG(st.st_mode) ? 2 : 0;
}

int64_t file_size(const char* path) {
  struct stat st{};
  if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

int dir_create(const char* path) {
  if (!path || !*path) return -1;
  if (mkdir(path, 0755) == 0) return 0;
  return (errno == EEXIST && path_kind(path) == 1) ? 0 : -1;
}

namespace {

int delete_entry(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0 ? 0 : -1;
  DIR* d = opendir(path.c_str());
  if (!d) return -1;
  int result = 0;
  while (dirent* e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    if (delete_entry(path + "/" + e->d_name) != 0) result = -1;
  }
  closedir(d);
  if (rmdir(path.c_str()) != 0) result = -1;
  return result;
}

}  // namespace

int tree_delete(const char* path) {
  if (!path || !*path) return -1;
  return delete_entry(path);
}

int file_move(const char* from, const char* to) {
  if (!from || !to) return -1;
  // rename() would replace an existing file; moving never does.
  struct stat st{};
  if (lstat(to, &st) == 0) return -1;
  return rename(from, to) == 0 ? 0 : -1;
}

int file_delete(const char* path) {
  if (!path) return -1;
  return unlink(path) == 0 ? 0 : -1;
}

int file_replace(const char* from, const char* to) {
  if (!from || !to) return -1;
  return rename(from, to) == 0 ? 0 : -1;
}

int file_sync(FILE* f) { return fsync(fileno(f)) == 0 ? 0 : -1; }

int dir_list(const char* folder, int kinds, DirList& out) {
  out.folder = folder ? folder : "";
  out.entries.clear();
  DIR* d = opendir(folder && *folder ? folder : ".");
  if (!d) return -1;
  bool all = kinds == 0 || (kinds & 16);
  int want = kinds & 3;
  while (dirent* e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    if (!all && e->d_name[0] == '.') continue;
    std::string full = out.folder + "/" + e->d_name;
    int kind = path_kind(full.c_str());
    if (kind == 0) continue;
    if (want && !(want & kind)) continue;
    out.entries.push_back({kind, e->d_name});
  }
  closedir(d);
  dir_list_sort(out);
  return out.count();
}

bool start_program(const char* command_line) {
  if (!command_line || !*command_line) return false;
  // The command line is one text as on Windows: the shell splits it. A
  // double fork leaves no child for us to reap.
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      if (null_fd > 2) close(null_fd);
    }
    execl("/bin/sh", "sh", "-c", command_line, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string current_dir() {
  char buf[PATH_MAX];
  if (!getcwd(buf, sizeof buf)) return {};
  return buf;
}

std::string program_folder() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return current_dir();
  std::string path(buf, static_cast<std::size_t>(n));
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t cut = path.rfind('/');
  if (cut == std::string::npos) return current_dir();
  return cut == 0 ? "/" : path.substr(0, cut);
}

int change_dir(const char* path) { return (path && chdir(path) == 0) ? 0 : -1; }

std::string system_temp_dir() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && *t) ? t : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}
