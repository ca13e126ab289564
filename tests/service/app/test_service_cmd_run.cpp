// The service commands in the real kelvane: scripts posted to the web
// application's command page, as the settings pages post them.
#include <gtest/gtest.h>

#include <string>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/net/socket.h"
#include "tests/service/web/web_test_util.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using namespace kvtest;

namespace {

void put(const std::string& path, std::string_view data) {
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dir_create(path.substr(0, slash).c_str());
  ASSERT_TRUE(write_file(path, data)) << path;
}

std::string exe_name() {
  std::string path = KV_KELVANE_EXE;
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

webtest::Reply post_script(int port, const std::string& script) {
  std::string r = "POST /base/js/command.ts HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nContent-Length: " + std::to_string(script.size()) + "\r\n\r\n" + script;
  return webtest::exchange(port, r, false, 20000);
}

}  // namespace

TEST(ServiceCommandRun, PostedCommandsReachTheRunningService) {
  TempProgramFolder dir;
  std::string exe = dir.path() + "/" + exe_name();
  ASSERT_TRUE(copy_file(KV_KELVANE_EXE, exe));
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\nos=test\nlanguage=en\nwebport=-20000\nserial_scan=0\n\n[]\n"));
  put("www/base/js/command.ts", "shell $request_body");
  put("www/locale/en/locale.txt", "[main]\nrealtime=Real-Time Status\n\n[]\n");
  put("www/locale/de/locale.txt", "[main]\nrealtime=Echtzeit-Status\n\n[]\n");
  put("www/404.htm", "not here");

  ChildProcess child;
  ASSERT_TRUE(child_start(exe, {}, dir.path(), child));
  const std::string mark = "tcp server on : ";
  bool bound = child_read_until(child, mark, 20000);
  if (!bound) child_kill(child);
  ASSERT_TRUE(bound) << child.output;
  int port = parse_int(child.output.c_str() + child.output.find(mark) + mark.size());
  ASSERT_GT(port, 0);
  ASSERT_EQ(net_startup(), 0);

  webtest::Reply r = post_script(port, "makelog \"from a page\"\nwebport\necho \" \"\nlocale [main] realtime\n");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.body, std::to_string(port) + " Real-Time Status");
  // The device API answers through the service command.
  r = post_script(port, "wlink_request_data @get_ready");
  EXPECT_EQ(r.body, "true");
  // A restart runs inside the request; the page and the service go on.
  r = post_script(port, "restart\necho restarted");
  EXPECT_EQ(r.body, "restarted");
  r = post_script(port, "set_language de\nlocale [main] realtime");
  EXPECT_EQ(r.body, "Echtzeit-Status");
  EXPECT_EQ(profile_get("appinfo.inf", "[app]", "language"), "de");
  // Without an update server or mail receivers configured these start
  // nothing, and the page goes on.
  EXPECT_EQ(post_script(port, "update_www\nsend_email_test\necho fine").body, "fine");
  EXPECT_EQ(post_script(port, "bogus").body, "www/base/js/command.ts ( line 0 ) :\n command error : bogus\n\n");

  child_request_quit(child);
  int code = child_wait(child, 10000);
  if (code < 0) child_kill(child);
  net_cleanup();
  ASSERT_EQ(code, 0) << child.output;
  std::string log = read_file("user/log.txt");
  std::size_t start = log.find(" start\n");
  std::size_t page = log.find(" from a page\n");
  std::size_t stop = log.find(" stop\n");
  ASSERT_NE(page, std::string::npos) << log;
  EXPECT_LT(start, page);
  EXPECT_LT(page, stop);
  // The restart started the UPS link again within this one process.
  int link_starts = 0;
  for (std::size_t at = child.output.find("start ....."); at != std::string::npos;
       at = child.output.find("start .....", at + 1))
    ++link_starts;
  EXPECT_EQ(link_starts, 2) << child.output;
}
