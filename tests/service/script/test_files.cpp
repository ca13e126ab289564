// The file and system family.
#include <string>

#include "service/core/file_util.h"
#include "tests/service/script/script_fixture.h"

namespace {

struct Case {
  const char* text;
  const char* output;
};

class FileTest : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    ASSERT_EQ(dir_create("www/page/js"), 0);
    ASSERT_EQ(dir_create("www/page/js/sub"), 0);
    ASSERT_TRUE(kvtest::write_file("www/page/main.htm", "main"));
    ASSERT_TRUE(kvtest::write_file("www/page/B.txt", "bb"));
    ASSERT_TRUE(kvtest::write_file("www/page/.hidden", "h"));
    ASSERT_TRUE(kvtest::write_file("www/page/js/sub/deep.js", "12345"));
    ASSERT_TRUE(kvtest::write_file("user/crlf.txt", "text \r\n\r\n"));
    ASSERT_TRUE(kvtest::write_file("user/empty.txt", ""));
  }
};

TEST_F(FileTest, FileCommandTable) {
  const Case cases[] = {
      {"save hello /user/a.txt; cat /user/a.txt", "hello"},
      {"save hello /user/a.txt; save \"\" /user/a.txt; ftype /user/a.txt", ""},
      {"save hello \"\"; echo ok", "ok"},
      {"cat -n /user/crlf.txt", "text"},
      {"cat /user/crlf.txt", "text \r\n\r\n"},
      {"cat -n", ""},
      {"cat -x /user/crlf.txt", ""},
      {"cat /user/missing.txt", ""},
      {"cat /user/empty.txt", ""},
      {"ftype /page", "1"},
      {"ftype /page/main.htm", "2"},
      {"ftype /page/none", ""},
      {"ftime /page/none", ""},
      {"fsize /page/main.htm", "4"},
      {"fsize /user/empty.txt", ""},
      {"fsize /page/none", ""},
      {"ls /page", "[\"B.txt\",\"@js\",\"main.htm\"]"},
      {"ls /page 1", "[\"@js\"]"},
      {"ls /page 2", "[\"B.txt\",\"main.htm\"]"},
      {"ls /page 3", "[\"B.txt\",\"@js\",\"main.htm\"]"},
      {"ls /page 4", ""},
      {"ls /page 6", "[\"B.txt\",\"main.htm\"]"},
      {"ls /page \"\"", "[\"B.txt\",\"@js\",\"main.htm\"]"},
      {"ls /page/js/sub/none", ""},
      {"ls_first /page", "B.txt"},
      {"ls_first /page 1", "@js"},
      {"ls_first /page 2", "B.txt"},
      {"ls_first /page/js/sub", "deep.js"},
      {"ls_first /user/none", ""},
      {"tree /page/js", "www/page/js\\sub\nwww/page/js\\sub\\deep.js (5)\n"},
      {"tree /page/main.htm", ""},
      {"fext archive.tar.gz", "gz"},
      {"fext noext", ""},
      {"fdir /a", ""},
      {"fdir a/b/c", "a/b"},
      {"basename a/b/c", "c"},
      {"basename plain", "plain"},
      {"mkdir /user/d; ftype /user/d", "1"},
      {"mkdir /user/d/e/f; ftype /user/d/e/f", ""},
      {"mkdir /user/t; save x /user/t/f.txt; delete /user/t; ftype /user/t", ""},
      {"mkdir /user/u; rmdir /user/u; ftype /user/u", ""},
      {"save 1 /user/r1.txt; rename /user/r1.txt /user/r2.txt; ftype /user/r1.txt; cat /user/r2.txt", "1"},
      {"save 1 /user/r3.txt; save 2 /user/r4.txt; rename /user/r3.txt /user/r4.txt; cat /user/r4.txt", "1"},
      {"save keep /user/r5.txt; rename /user/none.txt /user/r5.txt; cat /user/r5.txt", "keep"},
      {"save same /user/r6.txt; rename /user/r6.txt /user/r6.txt; cat /user/r6.txt", "same"},
      {"save src /user/c1.txt; copy /user/c1.txt /user/c2.txt; cat /user/c1.txt; cat /user/c2.txt", "srcsrc"},
      {"save old /user/c3.txt; copy /user/empty.txt /user/c3.txt; ftype /user/c3.txt", ""},
      {"save same /user/c4.txt; copy /user/c4.txt /user/c4.txt; cat /user/c4.txt", "same"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.text), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    script_store_create(kScriptPageStore);
  }
}

TEST_F(FileTest, CopyGoesInPiecesAndKeepsEveryByte) {
  std::string big;
  for (int i = 0; i < 30000; ++i) big += static_cast<char>(i * 7 + 3);
  ASSERT_TRUE(kvtest::write_file("user/big.bin", big));
  run("copy /user/big.bin /user/big2.bin");
  EXPECT_EQ(kvtest::read_file("user/big2.bin"), big);
  EXPECT_EQ(path_kind("user/big2.bin.copy~"), 0);
}

TEST_F(FileTest, FtimeGivesTheWriteTime) {
  const std::string t = run("ftime /page/main.htm");
  ASSERT_FALSE(t.empty());
  const long long seconds = std::stoll(t);
  EXPECT_GT(seconds, 1577836800);  // after 2020: a real clock, not a fallback
}

TEST_F(FileTest, CatOfAFileLargerThanTheOutputIsAnError) {
  ASSERT_TRUE(kvtest::write_file("user/long.txt", std::string(100, 'l')));
  std::vector<char> small(64);
  text_ = "cat /user/long.txt";
  script_run(small, "t.ts", text_.c_str(), SCRIPT_FILE);
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n output too long\n");
}

TEST_F(FileTest, SavePostWritesTheRequestBody) {
  static const std::string body = std::string("bin\0ary", 7) + "tail";
  script_set_request_lookup([](const char* name) -> std::string_view {
    if (std::string_view(name) == "request_body") return body;
    if (std::string_view(name) == "request_bodysize") return "11";
    return {};
  });
  run("save_post /user/post.bin");
  EXPECT_EQ(kvtest::read_file("user/post.bin"), body);
  // A value the script set itself is never read past its end.
  run("request_body = short; request_bodysize = 1000; save_post /user/post2.bin");
  EXPECT_EQ(kvtest::read_file("user/post2.bin"), "short");
  run("request_bodysize = 0; save_post /user/post3.bin");
  EXPECT_EQ(path_kind("user/post3.bin"), 0);
}

TEST_F(FileTest, TempFnameSkipsExistingNames) {
  kvtest::FakeClock clock(1000, 1700000000);
  ASSERT_TRUE(kvtest::write_file("user/t1700000000.txt", "x"));
  EXPECT_EQ(run("temp_fname /user/t txt"), "/user/t1700000001.txt");
  EXPECT_EQ(run("temp_fname /user/t"), "/user/t1700000000");
}

std::string g_command_line;
int record_command(const char* line) {
  g_command_line = line;
  kvtest::write_file("system_out", "captured\n");
  return 0;
}

TEST_F(FileTest, SystemBuildsItsCommandLineAndReadsTheAnswer) {
  script_set_system_runner(record_command);
  EXPECT_EQ(run("system prog a \"b c\""), "captured\n");
  EXPECT_EQ(g_command_line, "prog \"a\" \"b c\" > system_out");
  // A command that leaves no answer gives nothing, not the one before.
  script_set_system_runner([](const char*) { return -1; });
  EXPECT_EQ(run("system prog"), "");
}

TEST_F(FileTest, SystemRunsTheCommandInterpreter) {
  // Further arguments are passed in double quotes, which cmd's echo would
  // print; the command itself goes as written.
  EXPECT_EQ(run("system \"echo kelvane\"").substr(0, 7), "kelvane");
}

}  // namespace
