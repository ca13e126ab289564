// Increment and decrement, substitution and the reduction rules.
#include <string>

#include "tests/service/script/script_fixture.h"

namespace {

struct Case {
  const char* text;
  const char* output;
};

const Case kReduction[] = {
    {"echo 1 + 2", "3"},
    {"echo 1+2", "1+2"},  // operators are tokens
    {"echo \"1\" + \"2\"", "3"},
    {"echo \"1 + 2\"", "1 + 2"},
    {"echo ( 2 + 3 ) * 4", "20"},
    {"echo 2 + 3 * 4", "14"},
    {"echo 10 - 2 - 3", "5"},  // left to right within a rule
    {"echo 7 / 2", "3"},
    {"echo -7 / 2", "-3"},
    {"echo -7 % 2", "-1"},
    {"echo 7 % 0", "0"},
    {"echo 7 / 0", "0"},
    {"echo 1.9 + 1", "2"},
    {"echo 0x10 + 1", "0x10 + 1"},
    {"echo a + 1", "a + 1"},
    {"echo \"\" + 1", "1"},
    {"echo - + 1", "1"},
    {"echo -1 >> 1", "-1"},
    {"echo 1 << 33", "2"},
    {"echo 1 << 31", "-2147483648"},
    {"echo 2147483647 + 1", "-2147483648"},
    {"echo -2147483648 / -1", "-2147483648"},
    {"echo -2147483648 % -1", "0"},
    {"echo 65536 * 65536", "0"},
    {"echo ~ 0", "-1"},
    {"echo ~ ~ 5", "5"},
    {"echo 5 & 3 | 8", "9"},
    {"echo 6 ^ 3", "5"},
    {"echo 1 | 2 * 4", "12"},  // '|' comes before '*' in the rule order
    {"echo ! 0", "true"},
    {"echo ! x", "false"},
    {"echo ! false", "true"},
    {"echo ! ! 0", "false"},  // the inner "!" first, then the outer
    {"echo 3 == 3", "true"},
    {"echo 01 == 1", "false"},
    {"echo a != b", "true"},
    {"echo 01 >= 1", "true"},
    {"echo abc < 1", "abc < 1"},
    {"echo 1 && 0", "false"},
    {"echo 1 || 0", "true"},
    {"echo 0 || false", "false"},
    {"echo 3 > 2 && 1 < 2", "true"},
    {"echo 1 + 2 == 3", "true"},
    {"echo ( 1 )", "1"},
    {"echo ( ( 7 ) )", "7"},
    {"echo ( 1 2 )", "( 1 2 )"},
    {"echo -z \"\"", "-z"},  // the test operators belong to conditions
    {"op = +; echo 2 $op 3", "5"},
};

TEST_F(ScriptTest, ReductionTable) {
  for (const Case& c : kReduction) {
    EXPECT_EQ(run(c.text), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    script_store_create(kScriptPageStore);
  }
}

const Case kConditions[] = {
    {"if [ 01 == 1 ]; echo t; else; echo f; fi", "f"},
    {"if [ 01 > 0 ]; echo t; else; echo f; fi", "t"},
    {"if [ -z \"\" ]; echo t; fi", "t"},
    {"if [ -z x ]; echo t; else; echo f; fi", "f"},
    {"if [ -n $unset ]; echo t; else; echo f; fi", "f"},
    {"if [ -n abc ]; echo t; fi", "t"},
    {"if [ -e /page ]; echo t; fi", "t"},
    {"if [ -e /page/none.htm ]; echo t; else; echo f; fi", "f"},
    {"if [ ! -e /none ]; echo t; fi", "t"},
    {"if [ ( 1 + 1 ) == 2 ]; echo t; fi", "t"},
    {"usepublic = false; smtphost = h; smtpport = 25; sender = s;"
     " if [ ! $usepublic && $smtphost && $smtpport && $sender ]; echo ok; fi",
     "ok"},
    {"usepublic = false; smtphost = h; smtpport = \"\"; sender = s;"
     " if [ ! $usepublic && $smtphost && $smtpport && $sender ]; echo ok; else; echo missing; fi",
     "missing"},
    {"i = 3; while [ $i > 0 ]; echo $i; -- $i; done", "321"},
};

TEST_F(ScriptTest, ConditionTable) {
  for (const Case& c : kConditions) {
    EXPECT_EQ(run(c.text), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    script_store_create(kScriptPageStore);
  }
}

TEST_F(ScriptTest, SubstitutionTable) {
  const Case cases[] = {
      {"echo $$row_$i", "second"},
      {"echo $row[2]", "bracketed"},
      {"echo $$row[$i]", "bracketed"},
      {"echo ${#row_2}", "6"},
      {"echo ${s:2}", "cdef"},
      {"echo ${s:2:3}", "cde"},
      {"echo ${s:4:10}", "ef"},
      {"echo ${#s:1:2}", "2"},
      {"echo ${#s}", "6"},
      {"echo ${#t}", "0"},
      {"echo [${t:1}]", "[]"},
      {"echo [${s:6}]", "[]"},
      {"echo [${s:-1}]", "[]"},
      {"echo [${s:1:-2}]", "[]"},
      {"echo [${#s:9:2}]", "[0]"},
      {"echo ${s:0x2:1}", "c"},
      {"echo [${odd:}]", "[colon]"},
      {"echo ${s}x", "abcdefx"},
      {"echo $s.txt", "abcdef.txt"},
      {"echo a$s-b", "aabcdef-b"},
      {"echo $$$name", "abcdef"},
      {"echo \\$s", "$s"},
      {"echo a\\tb", "a\tb"},
      {"echo \"a\\nb\\rc\"", "a\nb\rc"},
      {"echo \\q\\\\", "q\\"},
      {"echo [$]", "[]"},
      {"echo [$-]", "[-]"},
      {"echo #$s#", "abcdef"},  // quoting does not stop substitution
      {"echo ${#row_2", "6"},  // a brace left open runs to the end
  };
  for (const Case& c : cases) {
    script_store_create(kScriptPageStore);
    script_set_var("i", "2");
    script_set_var("row_2", "second");
    script_set_var("row[2]", "bracketed");
    script_set_var("s", "abcdef");
    script_set_var("name", "s");
    script_set_var("odd:", "colon");
    EXPECT_EQ(run(c.text), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
  }
}

TEST_F(ScriptTest, IncrementAndDecrement) {
  EXPECT_EQ(run("i = 4; ++ $i; echo $i"), "5");
  EXPECT_EQ(run("i = 4; x = $i ++; echo $x $i"), "4 5");
  EXPECT_EQ(run("i = 4; x = ++ $i; echo $x $i"), "5 5");
  EXPECT_EQ(run("i = 4; x = $i --; echo $x $i"), "4 3");
  EXPECT_EQ(run("i = 4; -- $i; -- $i; echo $i"), "2");
  EXPECT_EQ(run("++ $n; echo $n"), "1");
  EXPECT_EQ(run("a[1] = 9; ++ $a[1]; echo $a[1]"), "10");
  EXPECT_EQ(run("m = 2147483647; ++ $m; echo $m"), "-2147483648");
  EXPECT_EQ(run("w = abc; ++ $w; echo $w"), "1");
  EXPECT_EQ(error(), "");
}

}  // namespace
