// The output and control family: echo, print, assignment, set, push/pop,
// include and shell, and the command dispatch with its hooks.
#include <cstring>
#include <string>

#include "tests/service/script/script_fixture.h"

namespace {

struct Case {
  const char* text;
  const char* output;
};

const Case kOutput[] = {
    {"echo +n a \"\" b", "a b\n"},
    {"echo -n", ""},
    {"echo", ""},
    {"echo -n a", "a"},
    {"echo a +n", "a +n"},  // only argument 1 is a flag
    {"echo \"\" \"\" x", "x"},
    {"x = a b  c; echo [$x]", "[a b c]"},
    {"x = 1; x =; echo $x", "1"},
    {"name = v; $name = 5; echo $v", "5"},
    {"echo = 5; echo $echo", "5"},  // any first token before "=" is a name
    {"set x = 7; echo $x", "7"},
    {"set echo hi", "hi"},
    {"set", ""},
    {"push x; pop y; echo ok", "ok"},  // wrong counts do nothing
    {"y = 0; push; y = 1; z = 2; pop; echo [$y][$z]", "[0][]"},
    {"pop; y = 3; echo $y", "3"},
    {"push; push; a = 1; pop; b = 2; pop; echo [$a][$b]", "[][]"},
    {"print a b; echo after", "after"},
    {"shell \"echo hi\"", "hi"},
    {"s = \"v = 1; echo \\$v\"; shell $s; echo [$v]", "1[]"},
    {"shell #if [ 1 ]; echo in; fi#; echo out", "inout"},
    {"shell \"exit\"; echo after", "after"},  // exit ends only the nested run
};

TEST_F(ScriptTest, OutputAndControlTable) {
  for (const Case& c : kOutput) {
    EXPECT_EQ(run(c.text), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    script_store_create(kScriptPageStore);
  }
}

TEST_F(ScriptTest, ShellErrorNamesTheCallerAndItsLine) {
  run("echo a\ncode = \"\\n\\nbogus\"\nshell $code\necho b\n");
  EXPECT_EQ(error(), "t.ts ( line 3 ) :\n command error : bogus\n\n");
}

TEST_F(ScriptTest, ShellRedirectEndsTheWholeRun) {
  EXPECT_EQ(run("shell \"redirect /x.htm\"; echo after"), "");
  EXPECT_EQ(var("redirect"), "/x.htm");
}

TEST_F(ScriptTest, CommandPageRunsPostedScript) {
  // The page that carries posted scripts is one statement.
  script_set_var("request_body", "x = 2; echo ( $x + 1 )");
  EXPECT_EQ(run("shell $request_body", SCRIPT_FILE, "www/base/js/command.ts"), "3");
}

class IncludeTest : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    ASSERT_EQ(dir_create("www/base"), 0);
    ASSERT_TRUE(kvtest::write_file("www/base/head.htm", "<h><$ inner = 1; echo $title $></h>"));
    ASSERT_TRUE(kvtest::write_file("www/page/x.htm", "echo script"));
    ASSERT_TRUE(kvtest::write_file("www/page/x", "echo noext"));
    ASSERT_TRUE(kvtest::write_file("www/page/x.ts", "echo ts"));
    ASSERT_TRUE(kvtest::write_file("www/page/rel.htm", "[<$ include x.ts $>]"));
    ASSERT_TRUE(kvtest::write_file("www/page/bad.htm", "line1\n<$ echo ok\n  bogus $>"));
    ASSERT_TRUE(kvtest::write_file("www/page/go.ts", "redirect /face/main.htm"));
    ASSERT_TRUE(kvtest::write_file("www/page/self.ts", "include /page/self.ts"));
    ASSERT_TRUE(kvtest::write_file("www/page/pop.ts", "pop; late = 1; echo popped"));
    ASSERT_TRUE(kvtest::write_file("www/page/empty.htm", ""));
  }
};

TEST_F(IncludeTest, RunsPagesAndScriptsByTheirNames) {
  const Case cases[] = {
      {"title = T; include /base/head.htm; echo [$inner]", "<h>T</h>[]"},
      {"include @/page/x.htm", "script"},
      {"include /page/x.htm", "echo script"},
      {"include /page/x", "noext"},
      {"include /page/x.ts", "ts"},
      {"include /page/rel.htm", "[ts]"},
      {"include /page/missing.htm; echo after", "after"},
      {"include /page/empty.htm; echo after", "after"},
      {"include /page/pop.ts; echo [$late]", "popped[]"},
      {"push; include /page/pop.ts; pop; echo [$late]", "popped[]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.text), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    script_store_create(kScriptPageStore);
  }
}

TEST_F(IncludeTest, CutBackRemovesTheIncludedText) {
  const std::size_t before = script_store_used();
  run("include /base/head.htm");
  EXPECT_EQ(error(), "");
  // Only the run's own "script" record remains.
  EXPECT_EQ(script_store_used(), before + std::strlen("script") + std::strlen("t.ts") + 2);
}

TEST_F(IncludeTest, ErrorNamesTheIncludedFileAndItsLine) {
  EXPECT_EQ(run("echo a\ninclude /page/bad.htm\necho b\n"), "aline1\nok");
  EXPECT_EQ(error(), "www/page/bad.htm ( line 2 ) :\n command error : bogus\n\n");
}

TEST_F(IncludeTest, RedirectInsideRedirectsTheWholePage) {
  EXPECT_EQ(page("a<$ include /page/go.ts $>b"), "a");
  EXPECT_EQ(var("redirect"), "/face/main.htm");
}

TEST_F(IncludeTest, SelfInclusionStopsAtTheNestingBound) {
  run("include /page/self.ts");
  EXPECT_EQ(error(), "www/page/self.ts ( line 0 ) :\n nested too deeply\n");
}

TEST_F(IncludeTest, LineCountResumesAfterAnInclude) {
  run("include /page/x.ts\n\nbogus\n");
  EXPECT_EQ(error(), "t.ts ( line 3 ) :\n command error : bogus\n\n");
}

TEST_F(IncludeTest, PathsLeavingTheProgramFolderAreRefused) {
  ASSERT_TRUE(kvtest::write_file("secret.txt", "secret"));
  const char* attempts[] = {
      "cat /../secret.txt",         "cat \"//../secret.txt\"",
      "cat \"///etc/passwd\"",       "cat ../secret.txt",
      "cat /page/../../secret.txt", "cat \"/page/..\\\\..\\\\secret.txt\"",
      "cat \"//C:/x\"",              "cat /user/../../secret.txt",
      "cat \"//user/../secret.txt\"",
  };
  for (const char* a : attempts) {
    EXPECT_EQ(run(a), "") << a;
    EXPECT_EQ(error(), "") << a;
  }
  EXPECT_EQ(run("cat \"//secret.txt\""), "secret");
  EXPECT_EQ(run("cat //secret.txt"), "");  // unquoted, "//" starts a comment
  script_set_var("script", "/etc/x");
  EXPECT_EQ(run("cat passwd", SCRIPT_FILE, nullptr), "");
}

int fake_service(const char* const* args, int count, std::span<char> out) {
  const std::string_view name = args[0];
  if (name == "webport") return std::snprintf(out.data(), out.size(), "9800");
  if (name == "count") return std::snprintf(out.data(), out.size(), "%d", count);
  if (name == "huge") return static_cast<int>(out.size()) + 5;
  return -1;
}

TEST_F(ScriptTest, UnknownCommandsGoToTheServiceDispatcherLast) {
  script_set_service_commands(fake_service);
  EXPECT_EQ(run("webport; echo :; count a b"), "9800:3");
  EXPECT_EQ(run("webport > p; echo $p"), "9800");
  run("nothing here");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n command error : nothing here\n\n");
  script_store_create(kScriptPageStore);
  run("huge");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n output too long\n");
}

TEST_F(ScriptTest, BuiltInFamiliesComeBeforeTheServiceDispatcher) {
  script_set_service_commands([](const char* const*, int, std::span<char> out) {
    return std::snprintf(out.data(), out.size(), "service");
  });
  EXPECT_EQ(run("echo builtin; trim x"), "builtinx");
  EXPECT_EQ(run("anything"), "service");
}

TEST_F(ScriptTest, ScriptCommandRunsOneCommand) {
  const char* tokens[] = {"echo", "+n", "a", nullptr};
  char out[8];
  EXPECT_EQ(script_command(tokens, 3, out), 2);
  EXPECT_STREQ(out, "a\n");
}

}  // namespace

namespace {

TEST_F(ScriptTest, PopUnwindsManyNestedScopes) {
  for (int n : {10, 300}) {
    const std::string s = "i = 0; while [ $i < " + std::to_string(n) + " ]; push; ++ $i; done; echo $i; pop; echo :$i; pop; echo :$i";
    EXPECT_EQ(run(s), std::to_string(n) + ":" + std::to_string(n - 1) + ":" + std::to_string(n - 2)) << n;
    EXPECT_EQ(error(), "");
    script_store_create(kScriptPageStore);
  }
}

}  // namespace

namespace {

TEST_F(IncludeTest, FileLargerThanTheStoreIsAFullStore) {
  ASSERT_TRUE(kvtest::write_file("www/page/big.htm", std::string(5000, 'b')));
  ASSERT_EQ(script_store_create(4096), 0);
  EXPECT_EQ(run("echo a; include /page/big.htm; echo b"), "a");
  EXPECT_EQ(error(), "too may script vars");
}

}  // namespace
