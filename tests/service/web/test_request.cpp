// Request processing without sockets: path mapping, decoding, MIME rows,
// ranges and the answers the processor writes into a request folder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/core/file_util.h"
#include "service/web/request_folder.h"
#include "service/web/web_request.h"
#include "tests/support/test_support.h"

namespace {

using kvtest::TempProgramFolder;

// Writes a file, creating its folders.
void put(const std::string& path, std::string_view data) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dir_create(path.substr(0, slash).c_str());
  ASSERT_TRUE(kvtest::write_file(path, data)) << path;
}

std::string g_language = "en";
const char* language_hook() { return g_language.c_str(); }
std::string g_script;
const char* script_hook() { return g_script.c_str(); }

struct Hooks {
  Hooks() {
    g_language = "en";
    g_script.clear();
    web_set_language_hook(language_hook);
    web_set_script_name_hook(script_hook);
    web_request_reset();
  }
  ~Hooks() {
    web_set_language_hook(nullptr);
    web_set_script_name_hook(nullptr);
    web_set_page_runner(nullptr);
    web_request_reset();
  }
};

std::string mapped(std::string_view path) {
  char out[kMaxPath + 1];
  if (map_web_path(path, out) < 0) return "<refused>";
  return out;
}

TEST(UrlDecode, Cases) {
  struct Case {
    const char* in;
    const char* out;  // nullptr: decoding fails
  } cases[] = {
      {"/a+b", "/a b"},
      {"/%2F", "//"},
      {"/%2f", nullptr},  // lower-case hex digits other than z are not digits here
      {"/%41%42", "/AB"},
      {"/%zz", "/S"},  // z reads as 35: 35 * 16 + 35 = 595, low byte 0x53
      {"/x%", nullptr},
      {"/x%4", nullptr},
      {"/x%-1", nullptr},
      {"/plain", "/plain"},
  };
  for (const Case& c : cases) {
    char buf[64];
    std::strcpy(buf, c.in);
    int n = url_decode(buf, static_cast<int>(std::strlen(buf)));
    if (!c.out) {
      EXPECT_EQ(n, 0) << c.in;
      continue;
    }
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), c.out) << c.in;
  }
}

TEST(MapWebPath, Roots) {
  TempProgramFolder dir;
  Hooks hooks;
  struct Case {
    const char* url;
    const char* file;
  } cases[] = {
      {"//user/config.inf", "user/config.inf"},
      {"/appinfo.inf", "appinfo.inf"},
      {"/start.png", "start.png"},
      {"/var", "var"},
      {"/var/build.inf", "var/build.inf"},
      {"/tmp/x", "tmp/x"},
      {"/data/a", "data/a"},
      {"/user/log.txt", "user/log.txt"},
      {"/variable/x", "www/variable/x"},
      {"/userx", "www/userx"},
      {"/page/main.htm", "www/page/main.htm"},
      {"/", "www/"},
  };
  for (const Case& c : cases) EXPECT_EQ(mapped(c.url), c.file) << c.url;
}

TEST(MapWebPath, LanguageProbesInOrder) {
  TempProgramFolder dir;
  Hooks hooks;
  put("www/page/en/x.htm", "en");
  put("www/page/x.htm", "base");
  put("www/page/y.htm", "base");
  put("www/page/de/y.htm", "de");
  put("www/page/zh/z.htm", "zh");
  put("www/base/js/q.js", "js");
  put("www/base/css/q.css", "css");
  g_language = "de";
  EXPECT_EQ(mapped("/page/x.htm"), "www/page/en/x.htm");  // de missing: en before the plain file
  EXPECT_EQ(mapped("/page/y.htm"), "www/page/de/y.htm");
  EXPECT_EQ(mapped("/base/q.js"), "www/base/js/q.js");
  EXPECT_EQ(mapped("/base/q.css"), "www/base/css/q.css");
  EXPECT_EQ(mapped("/page/none.htm"), "www/page/none.htm");  // nothing exists: the plain path stands
  g_language = "zh-TW";
  EXPECT_EQ(mapped("/page/z.htm"), "www/page/zh/z.htm");
  // A language that is no folder name is never inserted.
  g_language = "../..";
  EXPECT_EQ(mapped("/page/y.htm"), "www/page/y.htm");
}

TEST(MapWebPath, RelativeToTheRunningScript) {
  TempProgramFolder dir;
  Hooks hooks;
  put("www/page/inc.htm", "x");
  g_script = "www/page/main.htm";
  EXPECT_EQ(mapped("inc.htm"), "www/page/inc.htm");
  EXPECT_EQ(mapped("../user/config.inf"), "<refused>");
  EXPECT_EQ(mapped("sub/../../x"), "<refused>");
  g_script.clear();
  EXPECT_EQ(mapped("inc.htm"), "inc.htm");
  // The engine's hook names the script itself.
  char out[kMaxPath + 1];
  ASSERT_GT(map_script_path("inc.htm", "www/page/main.htm", out), 0);
  EXPECT_STREQ(out, "www/page/inc.htm");
  EXPECT_EQ(map_script_path("..\\x", "www/page/main.htm", out), -1);
}

// Spellings that would leave the roots (or make Windows open something
// else than the name says); every one is refused.
TEST(MapWebPath, NeverLeavesItsRoots) {
  TempProgramFolder dir;
  Hooks hooks;
  const std::string refused[] = {
      "/../user/config.inf",
      "/page/../../appinfo.inf",
      "/..",
      "/page/..",
      "//../etc/passwd",
      "///etc/passwd",
      "//user/../../x",
      "/user/../../x",
      "/var/../..",
      "/..\\appinfo.inf",
      "/page\\..\\..\\x",
      "/C:/Windows/win.ini",
      "/c:x",
      "//C:/x",
      "/x.htm::$DATA",
      std::string("/x\0.png", 7),
      "/x.htm.",
      "/x.htm ",
      "/...",
      "/con",
      "/page/aux.txt",
      "/nul.htm",
      "/com1",
      "/lpt9.js",
      "/a\r\nb",
  };
  for (const std::string& url : refused) EXPECT_EQ(mapped(url), "<refused>") << url;
  EXPECT_EQ(mapped("/page/./x"), "www/page/./x");
  EXPECT_EQ(mapped("/console.htm"), "www/console.htm");
}

TEST(LocalisePath, InsertsBeforeTheLastElement) {
  TempProgramFolder dir;
  put("www/page/de/main.htm", "x");
  put("www/page/zh/main.htm", "x");
  char path[kMaxPath + 1] = "www/page/main.htm";
  EXPECT_TRUE(localise_path(path, "de"));
  EXPECT_STREQ(path, "www/page/de/main.htm");
  std::strcpy(path, "www/page/main.htm");
  EXPECT_TRUE(localise_path(path, "zh-TW"));
  EXPECT_STREQ(path, "www/page/zh/main.htm");
  std::strcpy(path, "www/page/main.htm");
  EXPECT_FALSE(localise_path(path, "fr"));
  EXPECT_STREQ(path, "www/page/main.htm");
  EXPECT_FALSE(localise_path(path, "d/e"));
}

TEST(Mime, BuiltInAndLoadedRows) {
  TempProgramFolder dir;
  Hooks hooks;
  EXPECT_STREQ(mime_lookup("css")->kind, "cssfile");
  EXPECT_STREQ(mime_lookup("ts")->type, "text/html");
  EXPECT_STREQ(mime_lookup("PNG")->type, "image/png");
  EXPECT_STREQ(mime_lookup("zip")->type, "application/octet-stream");
  EXPECT_STREQ(mime_lookup("")->kind, "octetfile");
  put("www/mime.txt",
      "# comment line\n"
      "zip : octetfile : application/zip\n"
      "png:textfile:image/x:with:colons\n"
      "toolongext:textfile:text/plain\n"
      "bad line\n"
      "empty::x\n"
      "txt:textfile:text/markdown\n");
  mime_table_load();
  EXPECT_STREQ(mime_lookup("zip")->type, "application/zip");
  EXPECT_STREQ(mime_lookup("png")->type, "image/x:with:colons");
  EXPECT_STREQ(mime_lookup("txt")->type, "text/markdown");
  EXPECT_STREQ(mime_lookup("toolongext")->type, "application/octet-stream");
  EXPECT_STREQ(mime_lookup("css")->kind, "cssfile");
  put("www/mime.txt", "*:textfile:text/plain\ncss:cssfile:text/x-css\n");
  mime_table_load();
  EXPECT_STREQ(mime_lookup("css")->type, "text/plain");  // "*" comes first and matches everything
}

TEST(Range, BoundsOfAThousandByteFile) {
  struct Case {
    const char* value;
    int64_t first, last;  // last exclusive; first == 1000 for none
  } cases[] = {
      {"bytes=100-199", 100, 200},
      {"bytes=-100", 900, 1000},
      {"bytes=500-", 500, 1000},
      {"bytes=0-0", 0, 1},
      {"bytes=990-2000", 990, 1000},
      {"bytes=-5000", 0, 1000},
      {"bytes=2000-", 1000, 1000},
      {"bytes=300-100", 300, 300},
  };
  for (const Case& c : cases) {
    ByteRange range;
    ASSERT_EQ(parse_range(c.value, &range), 0) << c.value;
    int64_t first = -1, last = -1;
    range_bounds(range, 1000, &first, &last);
    EXPECT_EQ(first, c.first) << c.value;
    EXPECT_EQ(last, c.last) << c.value;
  }
  ByteRange range;
  EXPECT_EQ(parse_range("bytes", &range), -1);
  EXPECT_EQ(parse_range("bytes=x-1", &range), -1);
  EXPECT_EQ(parse_range("bytes=-", &range), -1);
}

// Runs process_request on an in-memory folder holding the request text.
struct Processed {
  std::string answer;
  std::string head;
  std::string body_line;
};
Processed process(const std::string& request) {
  Processed p;
  RequestFolder* folder = request_folder_open(false);
  EXPECT_NE(folder, nullptr);
  if (!folder) return p;
  std::string base = request_folder_path(folder);
  request_file_write((base + "/request").c_str(), request);
  process_request(base.c_str());
  std::string answer;
  if (request_file_read((base + "/answer").c_str(), answer) >= 0) {
    p.answer = answer;
    std::string head_path = answer.substr(0, answer.find('\n'));
    request_file_read(head_path.c_str(), p.head);
    size_t nl = answer.find('\n');
    if (nl + 1 < answer.size()) p.body_line = answer.substr(nl + 1, answer.find('\n', nl + 1) - nl - 1);
  }
  request_folder_close(folder);
  return p;
}

TEST(ProcessRequest, HeadsByKind) {
  TempProgramFolder dir;
  Hooks hooks;
  put("www/a.txt", "12345");
  put("www/lib/s.css", "body{}");
  put("www/p.png", "PNG");
  put("www/lib/x.js", "js");
  auto text = process("GET /a.txt HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(text.head,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 5\r\n"
            "Cache-Control: no-cache, max-age=0\r\nPragma: no-cache\r\nConnection: Keep-Alive\r\n"
            "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, POST\r\n"
            "Access-Control-Allow-Headers: Content-Type\r\n\r\n");
  EXPECT_EQ(text.body_line, "www/a.txt");
  EXPECT_TRUE(text.answer.starts_with("tmp/httpd_tmp_"));
  EXPECT_NE(text.answer.find("/100\n"), std::string::npos) << text.answer;
  // Style sheets are script pages except below /lib/.
  EXPECT_EQ(process("GET /lib/s.css HTTP/1.1\r\n\r\n").head,
            "HTTP/1.1 200 OK\r\nContent-Type: text/css; charset=utf-8\r\nContent-Length: 6\r\n"
            "Connection: Keep-Alive\r\nCache-Control:max-age=600\r\n\r\n");
  EXPECT_EQ(process("GET /p.png HTTP/1.1\r\n\r\n").head,
            "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 3\r\nAccept-Ranges: bytes\r\n"
            "Connection: Keep-Alive\r\nCache-Control:max-age=600\r\n\r\n");
  // Under /lib/ a script file is a plain file.
  EXPECT_EQ(process("GET /lib/x.js HTTP/1.1\r\n\r\n").body_line, "www/lib/x.js");
}

TEST(ProcessRequest, UnusablePathsLeaveNoAnswer) {
  TempProgramFolder dir;
  Hooks hooks;
  put("www/a.txt", "x");
  std::string long_url = "/" + std::string(127, 'a');
  std::string long_decoded = "/" + std::string(60, 'a') + std::string(20, '+') + std::string(40, 'b') + "c";
  const std::string cases[] = {
      "GET /%2f HTTP/1.1\r\n\r\n",
      "GET a.txt HTTP/1.1\r\n\r\n",
      "GET " + long_url + " HTTP/1.1\r\n\r\n",
      "GET " + long_decoded + " HTTP/1.1\r\n\r\n",
      "GET /../a.txt HTTP/1.1\r\n\r\n",
      "GET /%2E%2E/a.txt HTTP/1.1\r\n\r\n",
  };
  for (const std::string& r : cases) EXPECT_EQ(process(r).answer, "") << r;
  EXPECT_EQ(process("GET /a.txt?x=../../ HTTP/1.1\r\n\r\n").body_line, "www/a.txt");
}

TEST(ProcessRequest, FolderRedirectAndNotFound) {
  TempProgramFolder dir;
  Hooks hooks;
  dir_create("www");
  dir_create("www/page");
  put("www/404.htm", "<p>missing</p>");
  put("www/de/404.htm", "<p>fehlt</p>");
  auto folder = process("GET /page HTTP/1.1\r\n\r\n");
  EXPECT_EQ(folder.head, "HTTP/1.1 302 Found\r\nLocation: /page/\r\nContent-Length: 0\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(folder.body_line, "");
  auto missing = process("GET /nothing.png HTTP/1.1\r\n\r\n");
  EXPECT_EQ(missing.head,
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 14\r\n"
            "Cache-Control: no-cache\r\nPragma: no-cache\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(missing.body_line, "www/404.htm");
  g_language = "de";
  EXPECT_EQ(process("GET /nothing.png HTTP/1.1\r\n\r\n").body_line, "www/de/404.htm");
  // Without any 404 page the head stands alone with length 0.
  file_delete("www/404.htm");
  file_delete("www/de/404.htm");
  auto bare = process("GET /nothing.png HTTP/1.1\r\n\r\n");
  EXPECT_NE(bare.head.find("Content-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(bare.body_line, "");
}

TEST(ProcessRequest, RedirectLocationIsEncoded) {
  TempProgramFolder dir;
  Hooks hooks;
  dir_create("www");
  dir_create("www/a b");
  auto r = process("GET /a%20b HTTP/1.1\r\n\r\n");
  EXPECT_NE(r.head.find("Location: /a%20b/\r\n"), std::string::npos) << r.head;
}

TEST(ProcessRequest, Ranges) {
  TempProgramFolder dir;
  Hooks hooks;
  put("www/k.bin", std::string(1000, 'k'));
  put("www/page.htm", "<$ script $>");
  auto closed = process("GET /k.bin HTTP/1.1\r\nRange: bytes=100-199\r\n\r\n");
  EXPECT_EQ(closed.head,
            "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nContent-Length: 100\r\n"
            "Accept-Ranges: bytes\r\nContent-Range: bytes 100-199/1000\r\nConnection: Keep-Alive\r\n"
            "Cache-Control:max-age=600\r\n\r\n");
  EXPECT_EQ(closed.body_line, "www/k.bin;100;200");
  EXPECT_EQ(process("GET /k.bin HTTP/1.1\r\nRange: bytes=-100\r\n\r\n").body_line, "www/k.bin;900;1000");
  EXPECT_EQ(process("GET /k.bin HTTP/1.1\r\nRange: bytes=500-\r\n\r\n").body_line, "www/k.bin;500;1000");
  auto beyond = process("GET /k.bin HTTP/1.1\r\nRange: bytes=1000-\r\n\r\n");
  EXPECT_TRUE(beyond.head.starts_with("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */1000\r\n"));
  EXPECT_EQ(beyond.body_line, "");
  // A page with a Range header is the raw file, its scripts not run.
  auto page = process("GET /page.htm HTTP/1.1\r\nRange: bytes=0-\r\n\r\n");
  EXPECT_TRUE(page.head.starts_with("HTTP/1.1 206 Partial Content\r\nContent-Type: text/html\r\n"));
  EXPECT_EQ(page.body_line, "www/page.htm;0;12");
  // A "Range:" line of the body is no header.
  EXPECT_EQ(process("POST /k.bin HTTP/1.1\r\nContent-Length: 20\r\n\r\nx\nRange: bytes=1-2\r\n").body_line, "www/k.bin");
}

std::string g_ran;
void recording_runner(const char* folder, const char* url, const char* file) {
  g_ran = std::string(url) + " " + file;
  std::string answer = std::string(folder) + "/answer";
  char page[300];
  ASSERT_GT(request_file_free_name(folder, 200, ".htm", page), 0);
  request_file_write(page, "<p>ran</p>");
  answer_file(answer.c_str(), page);
}

TEST(ProcessRequest, ScriptPagesGoToTheRunner) {
  TempProgramFolder dir;
  Hooks hooks;
  put("www/main.htm", "<$ x $>");
  put("www/404.htm", "nf");
  put("www/base/js/command.ts", "shell $request_body");
  // Without a runner a script page is not sent as source.
  EXPECT_EQ(process("GET / HTTP/1.1\r\n\r\n").body_line, "www/404.htm");
  web_set_page_runner(recording_runner);
  g_ran.clear();
  auto page = process("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(g_ran, "/main.htm www/main.htm");
  EXPECT_TRUE(page.head.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 10\r\n"))
      << page.head;
  EXPECT_NE(page.body_line.find("/200.htm"), std::string::npos);
  g_ran.clear();
  process("POST /base/js/command.ts HTTP/1.1\r\nContent-Length: 4\r\n\r\nx 1\n");
  EXPECT_EQ(g_ran, "/base/js/command.ts www/base/js/command.ts");
  // Upper-case extensions are script pages too (the same file on Windows).
  put("www/UP.HTM", "<$ y $>");
  g_ran.clear();
  process("GET /UP.HTM HTTP/1.1\r\n\r\n");
  EXPECT_EQ(g_ran, "/UP.HTM www/UP.HTM");
}

TEST(AnswerWriters, RefuseWhatTheListCannotCarry) {
  TempProgramFolder dir;
  RequestFolder* folder = request_folder_open(false);
  ASSERT_NE(folder, nullptr);
  std::string answer = std::string(request_folder_path(folder)) + "/answer";
  EXPECT_EQ(answer_redirect(answer.c_str(), "/x\r\nSet-Cookie: a=b"), -1);
  EXPECT_EQ(answer_file(answer.c_str(), "www/a;b.txt"), -1);
  EXPECT_EQ(answer_redirect(answer.c_str(), "/ok"), 0);
  std::string list;
  ASSERT_GT(request_file_read(answer.c_str(), list), 0);
  EXPECT_EQ(list.substr(list.rfind('/')), "/100\n");
  // The next head takes the next free number.
  EXPECT_EQ(answer_redirect(answer.c_str(), "/ok2"), 0);
  request_file_read(answer.c_str(), list);
  EXPECT_EQ(list.substr(list.rfind('/')), "/101\n");
  request_folder_close(folder);
}

TEST(RequestFolder, MemoryUnlessDebug) {
  TempProgramFolder dir;
  request_counter_reset();
  RequestFolder* quiet = request_folder_open(false);
  ASSERT_NE(quiet, nullptr);
  EXPECT_STREQ(request_folder_path(quiet), "tmp/httpd_tmp_1");
  EXPECT_EQ(request_file_write("tmp/httpd_tmp_1/request", "GET"), 0);
  EXPECT_EQ(request_file_kind("tmp/httpd_tmp_1/request"), 2);
  EXPECT_EQ(request_file_size("tmp/httpd_tmp_1/request"), 3);
  EXPECT_EQ(path_kind("tmp/httpd_tmp_1"), 0);
  request_folder_close(quiet);
  EXPECT_EQ(request_file_kind("tmp/httpd_tmp_1/request"), 0);

  // A name taken on the disk is skipped.
  dir_create("tmp");
  dir_create("tmp/httpd_tmp_2");
  RequestFolder* debug = request_folder_open(true);
  ASSERT_NE(debug, nullptr);
  EXPECT_STREQ(request_folder_path(debug), "tmp/httpd_tmp_3");
  EXPECT_EQ(request_file_write("tmp/httpd_tmp_3/session", "request_ip=127.0.0.1\n"), 0);
  request_folder_close(debug);
  EXPECT_EQ(kvtest::read_file("tmp/httpd_tmp_3/session"), "request_ip=127.0.0.1\n");
  request_counter_reset();
  RequestFolder* again = request_folder_open(false);
  EXPECT_STREQ(request_folder_path(again), "tmp/httpd_tmp_1");
  request_folder_close(again);
}

}  // namespace
