#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/startup.h"
#include "tests/support/test_support.h"

using kvtest::read_file;
using kvtest::TempProgramFolder;
using kvtest::write_file;

TEST(Startup, ChineseCodesAreNormalised) {
  struct Case {
    const char* in;
    const char* out;
    bool changed;
  };
  const Case cases[] = {
      {"zh-Hans-CN", "zh-CN", true}, {"zh-HK", "zh-TW", true}, {"zh-Hant-TW", "zh-TW", true},
      {"zh-TW", "zh-TW", false},     {"zh-CN", "zh-CN", false}, {"zh", "zh", false},
      {"zh-SG", "zh-CN", true},      {"de-DE", "de-DE", false}, {"en", "en", false},
  };
  for (const Case& c : cases) {
    char lang[16];
    std::strcpy(lang, c.in);
    EXPECT_EQ(normalise_chinese(lang, sizeof lang), c.changed) << c.in;
    EXPECT_STREQ(lang, c.out) << c.in;
  }
}

TEST(Startup, WebPortFromAppInfo) {
  TempProgramFolder dir;
  struct Case {
    const char* file;
    int port;
  };
  const Case cases[] = {
      {"[app]\nwebport=0x2648\n", 9800}, {"[app]\nwebport=9800\n", 9800}, {"[app]\nwebport=abc\n", -6000},
      {"[app]\nwebport=0\n", -6000},     {"[app]\nwebport=-7000\n", -7000}, {"[app]\n", -6000},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file("appinfo.inf", c.file));
    EXPECT_EQ(configured_web_port(), c.port) << c.file;
  }
  ASSERT_EQ(file_delete("appinfo.inf"), 0);
  EXPECT_EQ(configured_web_port(), -6000);
}

TEST(Startup, FoldersPreparedAndTmpEmptied) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("tmp"), 0);
  ASSERT_EQ(dir_create("tmp/old"), 0);
  ASSERT_TRUE(write_file("tmp/old/left.txt", "x"));
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\nos=windows\nlanguage=zh-HK\n\n[]\n"));
  prepare_folders();
  for (const char* d : {"user", "var", "data", "tmp"}) EXPECT_EQ(path_kind(d), 1) << d;
  DirList list;
  EXPECT_EQ(dir_list("tmp", 0, list), 0);
  EXPECT_STREQ(app_os, "windows");
  EXPECT_STREQ(app_language, "zh-TW");
  EXPECT_EQ(profile_get("appinfo.inf", "[app]", "language"), "zh-TW");
}

TEST(Startup, LanguageResolvedAgainstInstalledLocales) {
  struct Case {
    const char* configured;
    const char* resolved;
  };
  const Case cases[] = {
      {"de-DE", "de"}, {"de", "de"}, {"zh-TW", "zh-TW"}, {"zh-CN", "zh"}, {"fr-FR", "en"}, {"", "en"},
  };
  for (const Case& c : cases) {
    TempProgramFolder dir;
    for (const char* d : {"user", "www", "www/locale", "www/locale/en", "www/locale/de", "www/locale/zh",
                          "www/locale/zh-TW"}) {
      ASSERT_EQ(dir_create(d), 0);
    }
    for (const char* l : {"en", "de", "zh", "zh-TW"}) {
      ASSERT_TRUE(write_file(std::string("www/locale/") + l + "/locale.txt", "[base]\n"));
    }
    ASSERT_TRUE(write_file("appinfo.inf", std::string("[app]\nlanguage=") + c.configured + "\n\n[]\n"));
    prepare_folders();
    resolve_language();
    EXPECT_STREQ(app_language, c.resolved) << c.configured;
    EXPECT_EQ(profile_get("appinfo.inf", "[app]", "language"), c.resolved) << c.configured;
    EXPECT_EQ(profile_get("user/config.inf", "[master]", "language"), c.resolved) << c.configured;
  }
}

TEST(Startup, MissingLocaleTreeGivesEnglish) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\nlanguage=ja\n\n[]\n"));
  prepare_folders();
  resolve_language();
  EXPECT_STREQ(app_language, "en");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "language"), "en");
}
