// The service commands called as the script engine calls them, and the
// window texts of the locale files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/service_cmd.h"
#include "service/core/startup.h"
#include "service/web/web_request.h"
#include "tests/support/test_support.h"

namespace {

void put(const std::string& path, std::string_view data) {
  for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    dir_create(path.substr(0, slash).c_str());
  ASSERT_TRUE(kvtest::write_file(path, data)) << path;
}

const char* language_hook() { return app_language; }

int g_restarts = 0;
int g_updates = 0;
int g_mail_hooks = 0;
std::string g_request;
std::string g_answer;
int g_answer_result = 0;

int fake_device(const char* request, std::span<char> out) {
  g_request = request;
  if (g_answer_result < 0) return g_answer_result;
  if (g_answer.size() + 1 > out.size()) {
    out[0] = '\0';
    return static_cast<int>(g_answer.size());
  }
  std::memcpy(out.data(), g_answer.c_str(), g_answer.size() + 1);
  return static_cast<int>(g_answer.size());
}

class ServiceCmd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::strcpy(app_language, "en");
    web_set_language_hook(language_hook);
    g_restarts = g_updates = g_mail_hooks = 0;
    g_request.clear();
    g_answer.clear();
    g_answer_result = 0;
    service_take_test_mail();
    out_.assign(4096, '\x7f');
  }
  void TearDown() override {
    web_set_language_hook(nullptr);
    service_set_device_request(nullptr);
    service_set_update_www(nullptr);
    service_set_test_mail_hook(nullptr);
    service_set_restart(nullptr);
  }

  // The command's result; its text is in text_.
  int run(std::vector<const char*> args) {
    int n = service_command(args.data(), static_cast<int>(args.size()), out_);
    text_ = n >= 0 && static_cast<std::size_t>(n) < out_.size() ? std::string(out_.data()) : std::string();
    if (n >= 0 && static_cast<std::size_t>(n) < out_.size()) {
      EXPECT_EQ(text_.size(), static_cast<std::size_t>(n));
    }
    return n;
  }
  std::string text(std::vector<const char*> args) {
    EXPECT_GE(run(args), 0) << args[0];
    return text_;
  }

  kvtest::TempProgramFolder folder_;
  std::vector<char> out_;
  std::string text_;
};

TEST_F(ServiceCmd, UnknownNamesAreLeftToTheCaller) {
  for (const char* name : {"foo", "", "Webport", "webport ", "locales", "restart2"}) {
    const char* args[] = {name};
    EXPECT_EQ(service_command(args, 1, out_), -1) << name;
  }
  EXPECT_EQ(service_command(nullptr, 0, out_), -1);
}

TEST_F(ServiceCmd, WebPort) {
  web_port.store(9800);
  EXPECT_EQ(text({"webport"}), "9800");
  web_port.store(6123);
  EXPECT_EQ(text({"webport", "ignored"}), "6123");
}

TEST_F(ServiceCmd, LocaleTable) {
  put("www/locale/en/locale.txt",
      "[main]\nrealtime=Real-Time Status\n# a comment\ntitle = Status \n\n[empty]\n\n[notes]\n# only this\n"
      "[dialog]\nok=OK\ncancel=Cancel\n\n[]\n");
  put("www/locale/de/locale.txt", "[main]\nrealtime=Echtzeit-Status\n\n[]\n");
  put("www/locale/zh-TW/locale.txt", "[main]\nrealtime=\xE5\x8D\xB3\xE6\x99\x82\n\n[]\n");
  struct Case {
    const char* language;
    std::vector<const char*> args;
    const char* text;
  };
  const Case cases[] = {
      {"en", {"locale", "[main]", "realtime"}, "Real-Time Status"},
      {"en", {"locale", "[main]", "title"}, "Status"},
      {"en", {"locale", "[main]", "missing"}, "missing"},
      {"en", {"locale", "[nowhere]", "realtime"}, "realtime"},
      {"en", {"locale", "[dialog]"}, "ok=OK\ncancel=Cancel\n\n"},
      {"en", {"locale", "[nowhere]"}, "[nowhere]"},
      {"en", {"locale", "[empty]"}, "[empty]"},
      {"en", {"locale", "[notes]"}, "[notes]"},
      {"en", {"locale", ""}, ""},
      {"en", {"locale", "", "realtime"}, ""},
      {"en", {"locale"}, ""},
      {"en", {"locale", "[main]", "realtime", "extra"}, ""},
      {"de", {"locale", "[main]", "realtime"}, "Echtzeit-Status"},
      // The German file is found, so its missing key is shown as the key.
      {"de", {"locale", "[dialog]", "ok"}, "ok"},
      {"de-DE", {"locale", "[main]", "realtime"}, "Echtzeit-Status"},
      {"zh-TW", {"locale", "[main]", "realtime"}, "\xE5\x8D\xB3\xE6\x99\x82"},
      {"fr", {"locale", "[main]", "realtime"}, "Real-Time Status"},
  };
  for (const Case& c : cases) {
    std::strcpy(app_language, c.language);
    EXPECT_EQ(text(c.args), c.text) << c.language << " " << c.args.size() << " " << (c.args.size() > 1 ? c.args[1] : "");
  }
}

TEST_F(ServiceCmd, LocaleWithoutAnyFileShowsTheKey) {
  EXPECT_EQ(text({"locale", "[main]", "realtime"}), "realtime");
  EXPECT_EQ(text({"locale", "[main]"}), "[main]");
}

TEST_F(ServiceCmd, LongLocaleSectionIsCutAfterAWholeLine) {
  std::string body;
  for (int i = 0; body.size() < 3000; ++i) body += "key" + std::to_string(i) + "=\xC3\xA4 value " + std::to_string(i) + "\n";
  put("www/locale/en/locale.txt", "[long]\n" + body + "\n[]\n");
  std::string got = text({"locale", "[long]"});
  EXPECT_LE(got.size(), 2047u);
  EXPECT_GT(got.size(), 2000u);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), '\n');
  EXPECT_EQ(body.substr(0, got.size()), got);
  // Comments do not count against the bound.
  std::string commented = "# " + std::string(3000, 'c') + "\nok=yes\n";
  put("www/locale/en/locale.txt", "[c]\n" + commented + "\n[]\n");
  EXPECT_EQ(text({"locale", "[c]"}), "ok=yes\n\n");
}

TEST_F(ServiceCmd, LocaleTextDoesNotFitTheOutput) {
  put("www/locale/en/locale.txt", "[main]\nrealtime=Real-Time Status\n\n[]\n");
  std::vector<char> small(8, '\x7f');
  const char* args[] = {"locale", "[main]", "realtime"};
  int n = service_command(args, 3, small);
  EXPECT_GE(n, static_cast<int>(small.size()));
  EXPECT_EQ(small[0], '\0');
}

TEST_F(ServiceCmd, SetLanguage) {
  put("appinfo.inf", "[app]\nwebport=9800\nlanguage=en\n\n[]\n");
  EXPECT_EQ(text({"set_language", "de"}), "");
  EXPECT_STREQ(app_language, "de");
  EXPECT_EQ(profile_get("appinfo.inf", "[app]", "language"), "de");
  EXPECT_EQ(profile_get("appinfo.inf", "[app]", "webport"), "9800");
  EXPECT_EQ(text({"set_language", "zh-TW"}), "");
  EXPECT_STREQ(app_language, "zh-TW");
  // Refused: too long for the 7 characters, not a code, wrong counts.
  for (std::vector<const char*> args : std::vector<std::vector<const char*>>{
           {"set_language", "zh-Hant-TW"}, {"set_language", "../x"}, {"set_language", "d e"},
           {"set_language", ""}, {"set_language"}, {"set_language", "fr", "de"}}) {
    EXPECT_EQ(text(args), "");
    EXPECT_STREQ(app_language, "zh-TW");
  }
  EXPECT_EQ(profile_get("appinfo.inf", "[app]", "language"), "zh-TW");
  EXPECT_EQ(text({"set_language", "fil"}), "");
  EXPECT_STREQ(app_language, "fil");
}

TEST_F(ServiceCmd, MakeLogAppendsOneLinePerCall) {
  kvtest::FakeClock clock(1000, 1700000000);
  ASSERT_EQ(dir_create("user"), 0);
  EXPECT_EQ(text({"makelog", "hello"}), "");
  EXPECT_EQ(text({"makelog", "two\r\nlines"}), "");
  // Wrong counts and an empty text write nothing.
  EXPECT_EQ(text({"makelog"}), "");
  EXPECT_EQ(text({"makelog", ""}), "");
  EXPECT_EQ(text({"makelog", "a", "b"}), "");
  EXPECT_EQ(kvtest::read_file("user/log.txt"), "1700000000 hello\n1700000000 two  lines\n");
}

TEST_F(ServiceCmd, MakeLogCutsALongTextAtACharacter) {
  kvtest::FakeClock clock(1000, 1700000000);
  ASSERT_EQ(dir_create("user"), 0);
  std::string text_in;
  while (text_in.size() < 3000) text_in += "\xE2\x82\xAC";  // three bytes each
  EXPECT_EQ(text({"makelog", text_in.c_str()}), "");
  std::string log = kvtest::read_file("user/log.txt");
  ASSERT_FALSE(log.empty());
  EXPECT_LE(log.size(), 1023u);
  EXPECT_EQ(log.back(), '\n');
  EXPECT_EQ(log.find('\n'), log.size() - 1);
  std::string cut = log.substr(11, log.size() - 12);
  EXPECT_EQ(cut.size() % 3, 0u);
  EXPECT_EQ(text_in.substr(0, cut.size()), cut);
}

TEST_F(ServiceCmd, DeviceRequest) {
  // Without the device entry there is no answer.
  EXPECT_EQ(text({"wlink_request_data", "{\"get\":[\"stat\"]}"}), "");
  service_set_device_request(fake_device);
  g_answer = "{\"return\":[7]}";
  EXPECT_EQ(text({"wlink_request_data", "{\"get\":[\"stat\"]}"}), "{\"return\":[7]}");
  EXPECT_EQ(g_request, "{\"get\":[\"stat\"]}");
  g_request = "untouched";
  EXPECT_EQ(text({"wlink_request_data", ""}), "");
  EXPECT_EQ(text({"wlink_request_data"}), "");
  EXPECT_EQ(text({"wlink_request_data", "a", "b"}), "");
  EXPECT_EQ(g_request, "untouched");
  // A failing entry is no answer rather than an unknown command.
  g_answer_result = -1;
  EXPECT_EQ(run({"wlink_request_data", "@get_info"}), 0);
  // An answer longer than the room is reported as such.
  g_answer_result = 0;
  g_answer = std::string(5000, 'a');
  EXPECT_GE(run({"wlink_request_data", "@get_info"}), static_cast<int>(out_.size()));
}

TEST_F(ServiceCmd, RestartUpdateAndTestMail) {
  service_set_restart([] { ++g_restarts; });
  service_set_update_www([] { ++g_updates; });
  EXPECT_EQ(text({"restart"}), "");
  EXPECT_EQ(text({"restart", "now"}), "");
  EXPECT_EQ(g_restarts, 2);
  EXPECT_EQ(text({"update_www"}), "");
  EXPECT_EQ(g_updates, 1);

  EXPECT_FALSE(service_test_mail_requested());
  EXPECT_EQ(text({"send_email_test"}), "");
  EXPECT_TRUE(service_test_mail_requested());
  EXPECT_TRUE(service_take_test_mail());
  EXPECT_FALSE(service_take_test_mail());
  service_set_test_mail_hook([] { ++g_mail_hooks; });
  EXPECT_EQ(text({"send_email_test"}), "");
  EXPECT_EQ(g_mail_hooks, 1);
  EXPECT_TRUE(service_take_test_mail());
  service_set_update_www(nullptr);
  EXPECT_EQ(text({"update_www"}), "");
}

TEST(LocaleText, LanguageFallbacks) {
  struct Case {
    const char* language;
    std::vector<const char*> files;
    const char* text;
  };
  const Case cases[] = {
      {"en", {"en", "zh"}, "Exit en"},
      {"fil", {"fil", "en"}, "Exit fil"},
      // Three characters: no English fallback.
      {"fil", {"en", "zh"}, "quit"},
      {"de-DE", {"de", "en"}, "Exit de"},
      {"pt-BR", {"en", "zh"}, "Exit en"},
      {"xx-YY", {"zh"}, "Exit zh"},
      {"zh-TW", {"zh-TW", "zh"}, "Exit zh-TW"},
      {"", {"en"}, "quit"},
      {"../en", {"en"}, "Exit en"},
      {"de", {}, "quit"},
  };
  for (const Case& c : cases) {
    kvtest::TempProgramFolder folder;
    for (const char* lang : c.files)
      put(std::string("www/locale/") + lang + "/locale.txt", std::string("[winform]\nquit=Exit ") + lang + "\n\n[]\n");
    char out[64];
    int n = locale_text(out, "quit", "[winform]", c.language);
    EXPECT_STREQ(out, c.text) << c.language;
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.text))) << c.language;
  }
}

TEST(LocaleText, MissingKeyAndSmallBuffer) {
  kvtest::TempProgramFolder folder;
  put("www/locale/en/locale.txt", "[winform]\nquit=\xC3\x84nde\n\n[]\n");
  char out[64];
  EXPECT_EQ(locale_text(out, "display", "[winform]", "en"), 7);
  EXPECT_STREQ(out, "display");
  // Never half a character: "Ä" is two bytes and does not fit in one.
  char two[2];
  EXPECT_EQ(locale_text(two, "quit", "[winform]", "en"), 0);
  EXPECT_STREQ(two, "");
  char four[4];
  EXPECT_EQ(locale_text(four, "quit", "[winform]", "en"), 3);
  EXPECT_STREQ(four, "\xC3\x84n");
}

}  // namespace
