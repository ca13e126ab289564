// The real kelvane in an empty program folder, stopped the way a user stops it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/net/socket.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using namespace kvtest;

namespace {

int bound_port(const std::string& output) {
  const std::string mark = "tcp bind OK ... port = ";
  std::size_t at = output.find(mark);
  if (at == std::string::npos) return -1;
  return parse_int(output.c_str() + at + mark.size());
}

std::string exe_name() {
  std::string path = KV_KELVANE_EXE;
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

TEST(ServiceRun, StartsPreparesBindsAndStopsInOrder) {
  TempProgramFolder dir;
  std::string exe = dir.path() + "/" + exe_name();
  ASSERT_TRUE(copy_file(KV_KELVANE_EXE, exe));
  ASSERT_EQ(dir_create("tmp"), 0);
  ASSERT_TRUE(write_file("tmp/stale.txt", "from an earlier run"));
  // A random port from 20000 up keeps parallel runs apart.
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\nos=test\nwebport=-20000\nserial_scan=0\n\n[]\n"));
  set_env("LC_ALL", "de_DE.UTF-8");

  ChildProcess child;
  ASSERT_TRUE(child_start(exe, {}, dir.path(), child));
  bool bound = child_read_until(child, "tcp server on : ", 20000);
  if (!bound) child_kill(child);
  ASSERT_TRUE(bound) << child.output;
  // The event loop runs once the port is bound and "tmp" is ready.
  int port = bound_port(child.output);
  EXPECT_GE(port, 20000);
  EXPECT_TRUE(tcp_probe(port)) << port;

  for (const char* d : {"user", "var", "data", "tmp"}) EXPECT_EQ(path_kind(d), 1) << d;
  EXPECT_EQ(path_kind("tmp/stale.txt"), 0);
  EXPECT_NE(child.output.find("appweb start"), std::string::npos);
  // Without a web application installed every system language ends as en.
  EXPECT_EQ(profile_get("appinfo.inf", "[app]", "language"), "en");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "language"), "en");

  int64_t asked = real_ms();
  child_request_quit(child);
  int code = child_wait(child, 10000);
  int64_t took = real_ms() - asked;
  if (code < 0) child_kill(child);
  ASSERT_EQ(code, 0) << child.output;
  // Stopping waits for nothing but the wake datagram: well inside a second
  // on an idle machine; the bound leaves room for sanitizers and Wine.
  EXPECT_LT(took, 5000);

  std::string log = read_file("user/log.txt");
  std::size_t start = log.find(" start\n");
  std::size_t stop = log.find(" stop\n");
  EXPECT_NE(start, std::string::npos) << log;
  EXPECT_NE(stop, std::string::npos) << log;
  EXPECT_LT(start, stop);
  EXPECT_NE(child.output.find("tcp server quit"), std::string::npos) << child.output;
}

TEST(ServiceRun, QuitWhileTheWebPortIsTakenStillStops) {
  TempProgramFolder dir;
  std::string exe = dir.path() + "/" + exe_name();
  ASSERT_TRUE(copy_file(KV_KELVANE_EXE, exe));
  ASSERT_EQ(net_startup(), 0);
  sock_t holder = tcp_socket(kFamilyIPv4);
  ASSERT_NE(holder, kNoSocket);
  SockAddr any;
  any.family = kFamilyIPv4;
  ASSERT_EQ(socket_bind(holder, any), 0);
  ASSERT_EQ(socket_listen(holder, 1), 0);
  SockAddr bound;
  ASSERT_EQ(socket_local_address(holder, &bound), 0);
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\nlanguage=en\nserial_scan=0\nwebport=" + std::to_string(bound.port) + "\n\n[]\n"));

  ChildProcess child;
  ASSERT_TRUE(child_start(exe, {}, dir.path(), child));
  bool failed = child_read_until(child, "tcp bind FAIL ... port = " + std::to_string(bound.port), 20000);
  if (!failed) child_kill(child);
  ASSERT_TRUE(failed) << child.output;
  child_request_quit(child);
  int code = child_wait(child, 10000);
  if (code < 0) child_kill(child);
  socket_close(holder);
  net_cleanup();
  ASSERT_EQ(code, 0) << child.output;
  // One line per failure streak: the retry goes on quietly until the quit.
  std::string out = child.output;
  EXPECT_EQ(out.find("tcp bind FAIL"), out.rfind("tcp bind FAIL")) << out;
  std::string log = read_file("user/log.txt");
  EXPECT_NE(log.find(" stop\n"), std::string::npos) << log;
}
