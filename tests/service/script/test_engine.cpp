// The language itself: scanning, statements, blocks, capture, errors and
// the bounds of the engine.
#include <string>

#include "service/core/profile.h"
#include "tests/service/script/script_fixture.h"

namespace {

struct Case {
  const char* text;
  int mode;
  const char* output;
};

constexpr int P = SCRIPT_PAGE;
constexpr int F = SCRIPT_FILE;

const Case kScanning[] = {
    {"", P, ""},
    {"", F, ""},
    {"plain <b>page</b>\r\n without blocks", P, "plain <b>page</b>\r\n without blocks"},
    {"a<$ echo b $>c", P, "abc"},
    {"a<$ echo b", P, "ab"},                    // last block without "$>"
    {"a<$echo b$>c", P, "abc"},                 // "$>" right after the statement
    {"a<$ # hidden $>\necho b $>c", P, "abc"},  // '#' comment hides "$>"
    {"a<$ echo b // $>\n$>c", P, "abc"},        // '//' comment hides "$>"
    {"<$ if [ 0 ] $>hidden<$ fi $>shown", P, "shown"},
    {"<$ if [ 1 ] $>shown<$ else $>hidden<$ fi $>", P, "shown"},
    {"<$ i = 0; while [ $i < 3 ] $>x<$ ++ $i; done $>", P, "xxx"},
    {"echo a//b", F, "a"},
    {"echo #a//b#", F, "a//b"},
    {"echo \"a//b\"", F, "a//b"},
    {"echo \"a\"   \"b\"", F, "a b"},
    {"echo \"a;b\"; echo c", F, "a;bc"},
    {"echo \"a\\\"b\"", F, "a\"b"},
    {"echo #{\"k\":[1,2]}#", F, "{\"k\":[1,2]}"},
    {"echo a\\; echo b", F, "ab"},  // an escaped ';' still ends the statement
    {"echo a \\\n  b", F, "a b"},
    {"echo a \\  \r\n  b", F, "a b"},
    {"/* a /* nested */ still comment */ echo x", F, "x"},
    {"echo a /* ; */ b", F, "a b"},
    {"# a comment line\necho x", F, "x"},
    {"echo x # not a comment#", F, "x  not a comment"},
    {"if [ 1 ] then echo x; fi", F, "x"},
    {"if [ 1 ] ; then echo x ; fi", F, "x"},
    {"if [ 0 ] then echo a ; else echo b ; fi", F, "b"},
    {"if [ 1 ]\nthen\necho x\nfi", F, "x"},
    {"a = 1; if[$a] then echo y; fi", F, "y"},
    {"a = 1; if[ $a] then echo y; fi", F, "y"},
    {"if [ 1 ]\n{\necho x\n}\nfi", F, "x"},
    {"x = 5\n$x\necho $x", F, "5"},  // a bare reference does nothing
    {"if [ 1 ]\necho x\nfi", F, "x"},  // 'fi' without a final line feed
    {"i = 0\nwhile [ $i < 2 ]\necho $i\n++ $i\ndone", F, "01"},
    {"echo a; exit; echo b", F, "a"},
    {"\t \r\n;;  echo x  \t", F, "x"},
};

TEST_F(ScriptTest, ScanningTable) {
  for (const Case& c : kScanning) {
    EXPECT_EQ(run(c.text, c.mode), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    script_store_create(kScriptPageStore);
  }
}

const Case kBlocks[] = {
    {"a = 2; if [ $a == 1 ]; echo one; elif [ $a == 2 ]; echo two; else; echo other; fi", F, "two"},
    {"a = 1; if [ $a == 1 ]; echo one; elif [ $a == 2 ]; echo two; else; echo other; fi", F, "one"},
    {"a = 3; if [ $a == 1 ]; echo one; elif [ $a == 2 ]; echo two; else; echo other; fi", F, "other"},
    {"a = 3; if [ $a == 1 ]; echo 1; elif [ $a == 2 ]; echo 2; elif [ $a == 3 ]; echo 3; fi; echo .", F, "3."},
    {"if [ 0 ]; if [ 1 ]; echo a; elif [ 1 ]; echo b; fi; echo c; fi; echo d", F, "d"},
    {"if [ 1 ]; if [ 0 ]; echo a; elif [ 1 ]; echo b; fi; echo c; fi; echo d", F, "bcd"},
    {"if [ 0 ]; if this is not a condition; echo a; fi; echo b", F, "b"},
    {"i = 0; while [ 1 ]; ++ $i; if [ $i > 3 ]; break; fi; echo $i; done; echo .", F, "123."},
    {"i = 0; while [ $i < 5 ]; ++ $i; if [ $i == 2 ]; continue; fi; echo $i; done", F, "1345"},
    {"i = 0; while [ $i < 2 ]; j = 0; while [ $j < 2 ]; echo $i$j; ++ $j; done; ++ $i; done", F, "00011011"},
    {"while [ 0 ]; echo never; done; echo after", F, "after"},
    {"if [ 0 ]; while [ 1 ]; echo never; done; fi; echo after", F, "after"},
    {"if [ \"\" ]; echo a; fi; if [ false ]; echo b; fi; if [ 0 ]; echo c; fi; if [ x ]; echo d; fi", F, "d"},
    {"while [ 1 ]; break; echo never; done; echo after", F, "after"},
};

TEST_F(ScriptTest, BlockTable) {
  for (const Case& c : kBlocks) {
    EXPECT_EQ(run(c.text, c.mode), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    script_store_create(kScriptPageStore);
  }
}

struct ErrorCase {
  const char* text;
  const char* error;
};

const ErrorCase kErrors[] = {
    {"echo a\nelse\n", "t.ts ( line 2 ) :\n no match if[] for else\n"},
    {"elif [ 1 ]\n", "t.ts ( line 1 ) :\n no match if[] for else\n"},
    {"echo a\n\nfi\n", "t.ts ( line 3 ) :\n no match if[] for fi\n"},
    {"if [ 1 ]\ndone\nfi\n", "t.ts ( line 2 ) :\n no match while[] for done\n"},
    {"done", "t.ts ( line 0 ) :\n no match while[] for done\n"},
    {"if [ 1 ]\nbreak\nfi\n", "t.ts ( line 2 ) :\n no match while[] for break\n"},
    {"continue\n", "t.ts ( line 1 ) :\n no match while[] for break\n"},
    {"if [ 1 ]\necho a\n", "t.ts ( line 2 ) :\n if [ ] has no fi\n"},
    {"while [ 0 ]\n", "t.ts ( line 1 ) :\n if [ ] has no fi\n"},
    {"echo \"open\n", "t.ts ( line 1 ) :\n format error\n"},
    {"echo x #open\n", "t.ts ( line 1 ) :\n format error\n"},
    {"/* open\n", "t.ts ( line 1 ) :\n format error\n"},
    {"echo a */\n", "t.ts ( line 0 ) :\n format error\n"},
    {"if [ 1 ]\tthen echo x", "t.ts ( line 0 ) :\n format error : if [ 1 ] then echo x\n\n"},
    {"if [ abc > 1 ]\nfi\n", "t.ts ( line 1 ) :\n format error : if [ abc > 1 ]\n\n"},
    {"fi x\n", "t.ts ( line 1 ) :\n format error : fi x\n\n"},
    {"while [ 1 2 ]\n", "t.ts ( line 1 ) :\n format error : while [ 1 2 ]\n\n"},
    {"x = \nredirect $x\n", "t.ts ( line 2 ) :\n command error : redirect \n\n"},
    {"echo a\nfoo bar\n", "t.ts ( line 2 ) :\n command error : foo bar\n\n"},
    {"echo a\nfoo; echo b\n", "t.ts ( line 1 ) :\n command error : foo\n\n"},
    {"echo a \\\n b\nfoo\n", "t.ts ( line 2 ) :\n command error : foo\n\n"},
    {"n = 7; set nothing $n\n", "t.ts ( line 1 ) :\n command error : nothing 7\n\n"},
    {"$x y\n", "t.ts ( line 1 ) :\n command error :  y\n\n"},
};

TEST_F(ScriptTest, ErrorMessagesNameScriptAndLine) {
  for (const ErrorCase& c : kErrors) {
    run(c.text);
    EXPECT_TRUE(script_stopped()) << c.text;
    EXPECT_EQ(error(), c.error) << c.text;
    script_store_create(kScriptPageStore);
  }
}

TEST_F(ScriptTest, ErrorStopsTheRunWhereItHappened) {
  EXPECT_EQ(run("echo a\nbogus\necho b\n"), "a");
  EXPECT_TRUE(script_stopped());
}

TEST_F(ScriptTest, UnnamedRunsCountNoLines) {
  run("");
  script_store_create(kScriptPageStore);
  text_ = "\n\n\nbogus\n";
  script_run(output_, nullptr, text_.c_str(), SCRIPT_FILE);
  EXPECT_EQ(error(), " ( line 0 ) :\n command error : bogus\n\n");
}

TEST_F(ScriptTest, PageErrorsCountPageLines) {
  page("<html>\n<body>\n<$ echo a\n  bogus $>\n</body>");
  EXPECT_EQ(error(), "www/t.htm ( line 3 ) :\n command error : bogus\n\n");
}

TEST_F(ScriptTest, WorkedExampleEmailFragments) {
  script_set_var("usepublic", "false");
  script_set_var("receiver", "alice");
  EXPECT_EQ(page("value='<$ echo $receiver ; $>'\n<$ if [ $usepublic ] ; then echo \"checked\"; fi $> >"),
            "value='alice'\n >");
  script_store_create(kScriptPageStore);
  script_set_var("usepublic", "true");
  EXPECT_EQ(page("<$ if [ $usepublic ] ; then echo \"checked\"; fi $> >"), "checked >");
}

TEST_F(ScriptTest, WorkedExampleShutdownSettingsReduceBeforeProfileSet) {
  ASSERT_TRUE(kvtest::write_file("user/config.inf", "[master]\nname=UPS\r\n\r\n[]\n"));
  script_set_var("config_inf", "/user/config.inf");
  script_set_var("utility_fail_timeout", "5");
  run("profile_set $config_inf [master] utility_fail_timeout ( $utility_fail_timeout * 60 )");
  EXPECT_EQ(error(), "");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "utility_fail_timeout"), "300");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "name"), "UPS");
}

TEST_F(ScriptTest, RedirectStopsAndIsStored) {
  EXPECT_EQ(run("echo a; redirect /page/main.htm; echo b"), "a");
  EXPECT_TRUE(script_stopped());
  EXPECT_EQ(var("redirect"), "/page/main.htm");
  EXPECT_EQ(error(), "");
}

TEST_F(ScriptTest, CaptureIntoVariablesFilesAndNull) {
  EXPECT_EQ(run("echo hello > greeting; echo [$greeting]"), "[hello]");
  script_store_create(kScriptPageStore);
  EXPECT_EQ(run("g = a; echo b >> g; echo c >> g; empty = \"\"; echo d >> empty; echo $g $empty"), "abc d");
  script_store_create(kScriptPageStore);
  EXPECT_EQ(run("echo hidden > null; echo shown"), "shown");
  EXPECT_EQ(run("echo one > /user/c.txt; echo two >> /user/c.txt; cat /user/c.txt"), "onetwo");
  EXPECT_EQ(kvtest::read_file("user/c.txt"), "onetwo");
  EXPECT_EQ(run("echo \"\" > /user/c.txt; ftype /user/c.txt"), "");
  EXPECT_EQ(run("echo new >> /user/c.txt; cat /user/c.txt"), "new");
  EXPECT_EQ(error(), "");
}

TEST_F(ScriptTest, CaptureKeepsTheOutputSoFar) {
  EXPECT_EQ(page("A<$ echo xyz > v $>B<$ echo $v $>"), "ABxyz");
}

TEST_F(ScriptTest, CaptureOfAnOperatorResult) {
  // '>' between two numbers is a comparison, reduced before capture is seen.
  EXPECT_EQ(run("echo 5 > 3"), "true");
}

TEST_F(ScriptTest, RequestLookupAnswersMissingVariables) {
  script_set_request_lookup([](const char* name) -> std::string_view {
    if (std::string_view(name) == "user") return script_set_var("user", "admin");
    return {};
  });
  EXPECT_EQ(run("echo [$user] [$other]"), "[admin] []");
  EXPECT_EQ(script_store_used() > 0, true);
}

TEST_F(ScriptTest, StoreFullEndsTheRunAndEmptiesTheStore) {
  script_set_var("keep", "1");
  run("while [ 1 ]; x = 1; done; echo never");
  EXPECT_TRUE(script_stopped());
  EXPECT_EQ(error(), "too may script vars");
  EXPECT_EQ(var("keep"), "");
  EXPECT_EQ(var("x"), "");
  EXPECT_EQ(var("script"), "");
}

TEST_F(ScriptTest, LookupsFollowAssignmentsAndCutBacks) {
  const Case cases[] = {
      {"echo [$a]; a = 1; echo [$a]; a = 2; echo [$a]", F, "[][1][2]"},
      {"a = 0; push; echo [$b]; b = 2; a = 1; echo [$a$b]; pop; echo [$a$b]; b = 3; echo [$b]", F, "[][12][0][3]"},
      {"i = 0; while [ $i < 3 ]; push; echo [$x]; x = $i; pop; ++ $i; done", F, "[][][]"},
      {"s = \"y = 5\"; echo [$y]; shell $s; echo [$y]; y = 6; echo [$y]", F, "[][][6]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.text, c.mode), c.output) << c.text;
    script_store_create(kScriptPageStore);
  }
}

TEST_F(ScriptTest, VariablesLastRecordWins) {
  EXPECT_EQ(run("a = 1; b = 2; a = 3; echo $a$b"), "32");
  EXPECT_STREQ(script_set_var("a", "4"), "4");
  EXPECT_EQ(var("a"), "4");
  EXPECT_EQ(var("missing"), "");
}

// ---- Bounds ----------------------------------------------------------------

std::string words(int n) {
  std::string s = "echo";
  for (int i = 1; i < n; ++i) s += " w";
  return s;
}

TEST_F(ScriptTest, StatementOf1023BytesWorksAndLongerIsAnError) {
  std::string s = "echo " + std::string(1018, 'x');
  ASSERT_EQ(s.size(), 1023u);
  EXPECT_EQ(run(s + "\n"), std::string(1018, 'x'));
  EXPECT_EQ(run(s), std::string(1018, 'x'));
  EXPECT_EQ(error(), "");
  run(s + "x\n");
  EXPECT_EQ(error(), "t.ts ( line 1 ) :\n statement too long\n");
  script_store_create(kScriptPageStore);
  run(s + "x");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n statement too long\n");
  script_store_create(kScriptPageStore);
  run("echo \"" + std::string(2000, 'q') + "\"");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n statement too long\n");
}

TEST_F(ScriptTest, ConditionRewriteAtTheLengthLimit) {
  std::string s = "if[" + std::string(1019, '1') + "]";
  ASSERT_EQ(s.size(), 1023u);
  EXPECT_EQ(run(s + "\necho y\nfi\n"), "y");
  EXPECT_EQ(error(), "");
}

TEST_F(ScriptTest, At127TokensWorksAndMoreIsAnError) {
  EXPECT_EQ(run(words(127)).size(), 126u * 2 - 1);
  EXPECT_EQ(error(), "");
  run(words(128));
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n too many tokens\n");
}

TEST_F(ScriptTest, At31OpenLevelsWorksAndMoreIsAnError) {
  std::string open, close;
  for (int i = 0; i < 31; ++i) open += "if [ 1 ]\n", close += "fi\n";
  EXPECT_EQ(run(open + "echo deep\n" + close), "deep");
  EXPECT_EQ(error(), "");
  run(open + "if [ 1 ]\n" + "echo deep\n" + close + "fi\n");
  EXPECT_EQ(error(), "t.ts ( line 32 ) :\n too many open blocks\n");
  // Also in a skipped region, where levels are pushed all the same.
  script_store_create(kScriptPageStore);
  run("if [ 0 ]\n" + open + close + "fi\n");
  EXPECT_EQ(error(), "t.ts ( line 32 ) :\n too many open blocks\n");
}

TEST_F(ScriptTest, OutputBeyondTheBufferIsAnError) {
  std::vector<char> small(16);
  text_ = "echo 0123456789; echo abcdef";
  EXPECT_EQ(script_run(small, "t.ts", text_.c_str(), SCRIPT_FILE), 10);
  EXPECT_STREQ(small.data(), "0123456789");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n output too long\n");
  script_store_create(kScriptPageStore);
  text_ = "0123456789abcdefghij";
  EXPECT_EQ(script_run(small, "t.htm", text_.c_str(), SCRIPT_PAGE), 15);
  EXPECT_EQ(error(), "t.htm ( line 0 ) :\n output too long\n");
  script_store_create(kScriptPageStore);
  text_ = "echo 0123456789abcdef > v";
  script_run(small, "t.ts", text_.c_str(), SCRIPT_FILE);
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n output too long\n");
  script_store_create(kScriptPageStore);
  std::vector<char> exact(11);
  text_ = "echo 0123456789";
  EXPECT_EQ(script_run(exact, "t.ts", text_.c_str(), SCRIPT_FILE), 10);
  EXPECT_EQ(error(), "");
}

TEST_F(ScriptTest, TemporaryAreaMeetingTheRecordsIsAnError) {
  ASSERT_EQ(script_store_create(4096), 0);
  script_set_var("a", std::string(1500, 'a').c_str());
  run("echo $a $a");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n out of script memory\n");
  EXPECT_LE(script_store_used() + script_store_temp(), 4096u);
}

TEST_F(ScriptTest, RunawayLoopsEndWithinTheBudget) {
  script_set_step_budget(1000);
  run("while [ 1 ]\ndone\n");
  EXPECT_EQ(error(), "t.ts ( line 2 ) :\n script runs too long\n");
  script_store_create(kScriptPageStore);
  run("i = 0; while [ 1 ]; push; ++ $i; pop; continue; done");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n script runs too long\n");
}

TEST_F(ScriptTest, RunawaySubstitutionIsAnError) {
  script_set_var("a", "$$a");
  run("echo $$$a");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n substitution too deep\n");
}

TEST_F(ScriptTest, ScriptsNestTo16Levels) {
  run("x = \"shell \\$x\"; shell $x");
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n nested too deeply\n");
}

TEST_F(ScriptTest, BinaryBytesInATextAreHarmless) {
  EXPECT_EQ(run("x\x01y = 1; \x02 = 2; echo [$x]\n"), "[]");
  EXPECT_EQ(error(), "");
  script_store_create(kScriptPageStore);
  EXPECT_EQ(run("\x01 = 5; echo ok"), "ok");
  EXPECT_EQ(run("echo $a"), "");
}

}  // namespace

namespace {

TEST_F(ScriptTest, PageRunnerSequence) {
  // What a page request does: a fresh store, presets, the page text as a
  // text block, the run, then "redirect" and "script_error" read back.
  run("redirect /old.htm");
  ASSERT_TRUE(script_stopped());
  ASSERT_EQ(script_store_create(kScriptPageStore), 0);
  EXPECT_FALSE(script_stopped());
  script_set_var("config_inf", "/user/config.inf");
  const char* text = script_add_text("<p><$ echo $config_inf $></p>");
  ASSERT_NE(text, nullptr);
  const int n = script_run(output_, "www/page/main.htm", text, SCRIPT_PAGE);
  EXPECT_EQ(std::string(output_.data(), static_cast<std::size_t>(n)), "<p>/user/config.inf</p>");
  EXPECT_EQ(var("redirect"), "");
  EXPECT_EQ(error(), "");
}

TEST_F(ScriptTest, PresetsThatDoNotFitStopBeforeTheRun) {
  ASSERT_EQ(script_store_create(40), 0);
  EXPECT_EQ(script_set_var("url", "/page/a/rather/long/path/that/does/not/fit.htm"), nullptr);
  EXPECT_TRUE(script_stopped());
  EXPECT_EQ(error(), "too may script vars");
  EXPECT_EQ(script_add_text(std::string(100, 'p')), nullptr);
}

}  // namespace
