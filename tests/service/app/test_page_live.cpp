// Script pages through the real HTTP server: the page runner and the request
// lookup installed as the start-up installs them, requests over loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "service/core/file_util.h"
#include "service/core/service_cmd.h"
#include "service/core/startup.h"
#include "service/script/script.h"
#include "service/web/http_server.h"
#include "service/web/page_runner.h"
#include "service/web/web_request.h"
#include "tests/service/web/web_test_util.h"
#include "tests/support/test_support.h"

namespace {

using webtest::exchange;
using webtest::get_request;
using webtest::Reply;

void put(const std::string& path, std::string_view data) {
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dir_create(path.substr(0, slash).c_str());
  ASSERT_TRUE(kvtest::write_file(path, data)) << path;
}

const char* language_hook() { return app_language; }

std::string g_device_request;
int fake_device(const char* request, std::span<char> out) {
  g_device_request = request;
  static const char kAnswer[] = "{\"return\":[\"online\",230]}";
  if (sizeof kAnswer > out.size()) return static_cast<int>(sizeof kAnswer);
  std::memcpy(out.data(), kAnswer, sizeof kAnswer);
  return static_cast<int>(sizeof kAnswer - 1);
}

class PageLive : public ::testing::Test {
 protected:
  void SetUp() override {
    put("www/404.htm", "<html>not here</html>\n");
    put("www/page/vars.htm", "<p><$ echo [$a][$b] $></p>");
    put("www/page/form.htm", "<$ echo [$user][$pass][$request_bodysize] $>");
    put("www/page/presets.htm",
        "<$ echo $url $request_ip $config_inf $system_conf $port $os $language $>");
    put("www/page/go.htm", "before<$ redirect /face/main.htm $>after");
    put("www/page/plain.htm", "<b>plain</b><$ x = 1 $>");
    put("www/page/quiet.htm", "<$ x = 1 $>");
    put("www/page/bad.htm", "line1\n<$ echo ok\n  bogus $>\nline4");
    put("www/page/unclosed.htm", "<$ if [ 1 ] $>open");
    put("www/page/same.htm", "echo hi");
    put("www/page/same.ts", "echo hi");
    put("www/page/full.htm", "<$ i = 0; while [ 1 ]; i = ( $i + 1 ); done $>");
    put("www/page/flood.htm", "<$ s = 0123456789; s = $s$s$s$s$s$s$s$s$s$s; s = $s$s$s$s$s$s$s$s$s$s;"
                              " s = $s$s$s$s$s$s$s$s$s$s; i = 0; while [ ( $i < 2000 ) ]; echo $s;"
                              " i = ( $i + 1 ); done $>");
    put("www/page/set.htm", "<$ kept = 1; echo [$kept] $>");
    put("www/page/get.htm", "<$ echo [$kept] $>");
    put("www/page/head.htm", "<$ echo [$Token][$token] $>");
    put("www/page/sources.htm", "<$ echo [$c][$d][$e] $>");
    put("www/page/inc.htm", "<$ include part.htm $>|<$ echo [$inner] $>");
    put("www/page/part.htm", "<$ inner = 1 $>part of <$ echo $url $>");
    put("www/page/style.css", "body { color: <$ echo red $>; }");
    put("www/base/js/command.ts", "shell $request_body");
    std::strcpy(app_language, "en");
    std::strcpy(app_os, "windows");
    web_port.store(9800);
    web_set_language_hook(language_hook);
    web_pages_install();
    service_set_device_request(fake_device);
    http_set_debug_marker("debug_marker");
    server_ = std::make_unique<webtest::LiveServer>();
    ASSERT_TRUE(server_->started());
  }
  void TearDown() override {
    server_.reset();
    web_set_page_runner(nullptr);
    web_set_language_hook(nullptr);
    script_set_request_lookup(nullptr);
    script_set_service_commands(nullptr);
    script_set_path_mapper(nullptr);
    page_set_process_values(nullptr);
    service_set_device_request(nullptr);
    http_set_debug_marker(nullptr);
  }

  Reply get(const std::string& path, std::string_view extra = {}) {
    return exchange(port(), get_request(path, port(), extra));
  }
  Reply post(const std::string& path, std::string_view body, std::string_view extra = {}) {
    std::string r = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n";
    r += extra;
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    r += body;
    return exchange(port(), r);
  }
  int port() const { return server_->port(); }

  kvtest::TempProgramFolder folder_;
  std::unique_ptr<webtest::LiveServer> server_;
};

TEST_F(PageLive, QueryVariablesAreDecodedOnFirstUse) {
  Reply r = get("/page/vars.htm?a=1&b=x%20y");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.body, "<p>[1][x y]</p>");
  EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(r.header("Cache-Control"), "no-cache, max-age=0");
  // A name only counts as a whole parameter name.
  EXPECT_EQ(get("/page/vars.htm?ba=1&a=2&a=3").body, "<p>[2][]</p>");
  EXPECT_EQ(get("/page/vars.htm?b=+plus+").body, "<p>[][ plus ]</p>");
  put("www/page/x&a=5.htm", "<$ echo [$a] $>");
  EXPECT_EQ(get("/page/x&a=5.htm").body, "[]");
  EXPECT_EQ(get("/page/x&a=5.htm?a=6").body, "[6]");
}

TEST_F(PageLive, BodyFieldsComeBeforeTheQuery) {
  Reply r = post("/page/form.htm?user=guest&pass=9", "user=admin&pass=1");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.body, "[admin][1][17]");
  EXPECT_EQ(post("/page/form.htm?user=guest", "other=1").body, "[guest][][7]");
  EXPECT_EQ(get("/page/form.htm").body, "[][][0]");
}

TEST_F(PageLive, UnusableValuesFallThroughToTheNextSource) {
  // c: undecodable in the body, so the query's; d: empty in the query, so
  // the head line's; e: longer than 255 bytes everywhere it is found.
  std::string query = "/page/sources.htm?c=2&d=&e=" + std::string(256, 'x');
  Reply r = post(query, "c=%g1&d=", "d: 4\r\n");
  EXPECT_EQ(r.body, "[2][4][]");
}

TEST_F(PageLive, HeadLinesAreFoundByExactName) {
  EXPECT_EQ(get("/page/head.htm", "Token: abc\r\n").body, "[abc][]");
  // Only the head counts, not a line of the body that looks like one.
  EXPECT_EQ(post("/page/head.htm", "x\r\nToken: body", "").body, "[][]");
}

TEST_F(PageLive, PresetsAndProcessValues) {
  Reply r = get("/page/presets.htm");
  EXPECT_EQ(r.body, "/page/presets.htm 127.0.0.1 /user/config.inf /conf/system.inf 9800 windows en");
  // A folder path gets "main.htm"; the preset is the decoded path.
  put("www/sub dir/main.htm", "<$ echo $url $>");
  EXPECT_EQ(get("/sub%20dir/").body, "/sub dir/main.htm");
}

TEST_F(PageLive, RedirectAnswers302WithoutBody) {
  Reply r = get("/page/go.htm");
  EXPECT_EQ(r.status, 302) << r.head;
  EXPECT_EQ(r.header("Location"), "/face/main.htm");
  EXPECT_EQ(r.header("Content-Length"), "0");
  EXPECT_EQ(r.body, "");
}

TEST_F(PageLive, RequestCannotRedirectOrReplaceAPage) {
  Reply r = get("/page/plain.htm?redirect=http://elsewhere.example/&script_error=%3Cscript%3E");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.body, "<b>plain</b>");
  r = get("/page/plain.htm", "redirect: /x.htm\r\nscript_error: gotcha\r\n");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.body, "<b>plain</b>");
}

TEST_F(PageLive, ScriptErrorReplacesThePage) {
  Reply r = get("/page/bad.htm");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(r.body, "www/page/bad.htm ( line 2 ) :\n command error : bogus\n\n");
  EXPECT_EQ(get("/page/unclosed.htm").body, "www/page/unclosed.htm ( line 0 ) :\n if [ ] has no fi\n");
  // Posted script counts no lines of its own: the carrier page and its line.
  EXPECT_EQ(post("/base/js/command.ts", "echo a\nbogus").body,
            "www/base/js/command.ts ( line 0 ) :\n command error : bogus\n\n");
}

TEST_F(PageLive, ScriptFileVersusPage) {
  // The same text: a page is text until its first "<$", a ".ts" file is
  // script from its first character.
  EXPECT_EQ(get("/page/same.htm").body, "echo hi");
  Reply ts = get("/page/same.ts");
  EXPECT_EQ(ts.status, 200);
  EXPECT_EQ(ts.body, "hi");
  EXPECT_EQ(ts.header("Content-Type"), "text/html; charset=utf-8");
  put("www/page/only.ts", "echo \"a b\"\necho c\n");
  EXPECT_EQ(get("/page/only.ts").body, "a bc");
  Reply css = get("/page/style.css");
  EXPECT_EQ(css.body, "body { color: red; }");
  EXPECT_EQ(css.header("Content-Type"), "text/css; charset=utf-8");
}

TEST_F(PageLive, EmptyOutputIsAnEmptyAnswer) {
  Reply r = get("/page/quiet.htm");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.header("Content-Length"), "0");
  EXPECT_EQ(r.body, "");
}

TEST_F(PageLive, FullStoreAndLongOutputEndWithTheirMessages) {
  EXPECT_EQ(get("/page/full.htm").body, "too may script vars");
  // A page larger than the whole store cannot even be held.
  put("www/page/huge.htm", std::string(kScriptPageStore + 100, 'h'));
  EXPECT_EQ(get("/page/huge.htm").body, "too may script vars");
  put("www/page/huge.htm", std::string(kScriptPageStore - 50, 'h'));
  EXPECT_EQ(get("/page/huge.htm").body, "too may script vars");
  put("www/page/huge.htm", std::string(kScriptPageStore / 2, 'h'));
  EXPECT_EQ(get("/page/huge.htm").body, std::string(kScriptPageStore / 2, 'h'));
  // 2000 rows of 1000 bytes would pass the 1 MiB page buffer.
  Reply r = get("/page/flood.htm");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("www/page/flood.htm ( line 0 ) :\n output too long\n"), std::string::npos)
      << r.body.substr(0, 200);
}

TEST_F(PageLive, EveryRequestStartsWithAFreshStore) {
  // On one connection: a page's variables, its stop and its lookups are gone
  // by the next request.
  sock_t s = webtest::connect_to(port());
  ASSERT_NE(s, kNoSocket);
  std::string rest;
  Reply r;
  ASSERT_TRUE(webtest::send_all(s, get_request("/page/set.htm?kept=9", port())));
  ASSERT_TRUE(webtest::read_reply(s, &r, &rest));
  EXPECT_EQ(r.body, "[1]");
  ASSERT_TRUE(webtest::send_all(s, get_request("/page/go.htm", port())));
  ASSERT_TRUE(webtest::read_reply(s, &r, &rest));
  EXPECT_EQ(r.status, 302);
  ASSERT_TRUE(webtest::send_all(s, get_request("/page/get.htm", port())));
  ASSERT_TRUE(webtest::read_reply(s, &r, &rest));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "[]");
  socket_close(s);
}

TEST_F(PageLive, IncludedPagesShareTheRequest) {
  EXPECT_EQ(get("/page/inc.htm").body, "part of /page/inc.htm|[]");
}

TEST_F(PageLive, PostedScriptReachesTheDevice) {
  Reply r = post("/base/js/command.ts",
                 "wlink_request_data #{\"get\":[\"stat\",\"battery\"]}# > QAD\njson $QAD return");
  EXPECT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(r.body, "[\"online\",230]");
  EXPECT_EQ(g_device_request, "{\"get\":[\"stat\",\"battery\"]}");
  EXPECT_EQ(post("/base/js/command.ts", "x = 2; echo ( $x + 1 ); webport").body, "39800");
}

TEST_F(PageLive, PostedLocaleLookups) {
  put("www/locale/en/locale.txt", "[main]\nrealtime=Real-Time Status\n\n[]\n");
  put("www/locale/de/locale.txt", "[main]\nrealtime=Echtzeit-Status\n\n[]\n");
  EXPECT_EQ(post("/base/js/command.ts", "locale [main] realtime").body, "Real-Time Status");
  EXPECT_EQ(post("/base/js/command.ts", "set_language de; locale [main] realtime; echo \" $language\"").body,
            "Echtzeit-Status de");
  EXPECT_EQ(post("/base/js/command.ts", "locale [main] nothing").body, "nothing");
  // Within one page the texts follow a change of language.
  EXPECT_EQ(post("/base/js/command.ts", "set_language en; locale [main] realtime; echo \"|\"; set_language de;"
                                        " locale [main] realtime; echo \"|\"; locale [main] realtime")
                .body,
            "Real-Time Status|Echtzeit-Status|Echtzeit-Status");
  // And a page sees a locale file as it is when the page starts.
  put("www/locale/de/locale.txt", "[main]\nrealtime=Neu\n\n[]\n");
  EXPECT_EQ(post("/base/js/command.ts", "locale [main] realtime").body, "Neu");
}

}  // namespace
