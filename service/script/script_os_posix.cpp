#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>

#include "service/script/script_os.h"

int script_os_system(const char* command_line) {
  if (!command_line || !command_line[0]) return -1;
  const int status = std::system(command_line);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int64_t script_os_mtime(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? -1 : -2;
  return static_cast<int64_t>(st.st_mtime);
}
