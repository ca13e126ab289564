// Runs a real program of ours from a test: started in a folder, its
// standard output read through a pipe, asked to quit the way a user would.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvtest {

struct ChildProcess {
  int64_t pid = -1;
  int64_t handle = -1;  // process handle (Windows)
  int64_t out = -1;     // read end of the output pipe
  std::string output;   // everything read so far
};

bool child_start(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd,
                 ChildProcess& child);
// Reads output until it contains needle or timeout_ms passes; true when
// found.
bool child_read_until(ChildProcess& child, std::string_view needle, int timeout_ms);
// The quit of a user: SIGTERM here, the quit event on Windows.
void child_request_quit(ChildProcess& child);
// Exit code, or -1 when the process has not ended within timeout_ms.
int child_wait(ChildProcess& child, int timeout_ms);
void child_kill(ChildProcess& child);
// Copies a file (binary); false on failure.
bool copy_file(const std::string& from, const std::string& to);
// Milliseconds of a monotonic clock (the real one, not the test clock).
int64_t real_ms();

}  // namespace kvtest

namespace kvtest {
// Sets an environment variable for this process and the children it starts.
void set_env(const char* name, const char* value);
// True when a TCP connection to 127.0.0.1:port succeeds.
bool tcp_probe(int port);
}  // namespace kvtest
