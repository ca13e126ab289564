// Checks of the shipped web application under www/: every language has
// every text of the English files, the texts the pages ask for exist, the
// files the service relies on are there, and the tree packs into a valid
// package.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "service/cloud/webpack.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "tests/support/test_support.h"

namespace {

using Texts = std::map<std::string, std::map<std::string, std::string>>;

const std::string kWww = std::string(KV_SOURCE_DIR) + "/www";

const char* const kLanguages[] = {"ar", "bn", "cs", "da", "de", "el", "en", "es", "fa", "fi", "fil", "fr", "hi",
                                  "hu", "id", "it", "iw", "ja", "km", "ko", "lo", "ms", "my", "ne", "nl", "no",
                                  "pl", "pt", "ro", "ru", "sv", "th", "tr", "uk", "ur", "vi", "zh", "zh-TW"};
const std::set<std::string> kRightToLeft = {"ar", "fa", "iw", "ur"};
const char* const kLocaleSections[] = {"base",   "email",  "winform",      "main",         "about",      "log",
                                       "alarm",  "record", "config",       "config_email", "config_ups", "ups_error",
                                       "ups_mode", "ups_show", "ctrl",     "dialog"};

std::string slurp(const std::string& path) {
  std::string text;
  file_read_all(path.c_str(), text);
  return text;
}

// Sections in file order with their key/value pairs, read the way the
// service reads them.
Texts read_texts(const std::string& path, std::vector<std::string>* order = nullptr) {
  Texts out;
  std::string text;
  if (profile_load(path.c_str(), text) < 0) return out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? text.size() : end + 1;
    if (line.empty() || line[0] != '[') continue;
    size_t close = line.find(']');
    if (close == std::string::npos) continue;
    std::string name = line.substr(1, close - 1);
    if (order) order->push_back(name);
    if (name.empty()) continue;
    ProfileList list = profile_read_section(path.c_str(), ("[" + name + "]").c_str());
    auto& section = out[name];
    for (int i = 0; i < list.count(); ++i) section.emplace(list.keys[i], list.values[i]);
  }
  return out;
}

std::set<std::string> placeholders(const std::string& text, const char* pattern) {
  std::set<std::string> out;
  std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) out.insert(it->str());
  return out;
}

// Every file below folder (relative paths).
void walk(const std::string& folder, const std::string& rel, std::vector<std::string>& out) {
  DirList list;
  if (dir_list(folder.c_str(), 3, list) < 0) return;
  for (const DirEntry& e : list.entries) {
    std::string r = rel.empty() ? e.name : rel + "/" + e.name;
    if (e.kind == 1) walk(folder + "/" + e.name, r, out);
    else out.push_back(r);
  }
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Every translation has the English file's sections and keys, non-empty,
// with the same placeholders.
void expect_complete(const std::string& file, const char* pattern) {
  Texts en = read_texts(kWww + "/" + std::string(file).replace(file.find("%s"), 2, "en"));
  ASSERT_FALSE(en.empty()) << file;
  for (const char* lang : kLanguages) {
    SCOPED_TRACE(lang);
    std::string path = kWww + "/" + std::string(file).replace(file.find("%s"), 2, lang);
    ASSERT_EQ(path_kind(path.c_str()), 2) << path << " is missing";
    Texts t = read_texts(path);
    // Pages put texts into HTML as they are, inside attributes as well.
    for (const auto& [section, keys] : t) {
      for (const auto& [key, value] : keys)
        EXPECT_EQ(value.find_first_of("\"<>"), std::string::npos) << path << ": [" << section << "] " << key;
    }
    for (const auto& [section, keys] : en) {
      for (const auto& [key, value] : keys) {
        auto s = t.find(section);
        bool present = s != t.end() && s->second.count(key) && !s->second.at(key).empty();
        EXPECT_TRUE(present) << path << ": [" << section << "] " << key << " is missing";
        if (!present) continue;
        EXPECT_EQ(placeholders(s->second.at(key), pattern), placeholders(value, pattern))
            << path << ": [" << section << "] " << key << " has other placeholders than English";
      }
    }
  }
}

}  // namespace

TEST(WebApplication, EveryLanguageHasEveryText) { expect_complete("locale/%s/locale.txt", R"(\{\d\})"); }

TEST(WebApplication, EveryLanguageHasEveryAlarmText) { expect_complete("resource/%s/0_locale.txt", "%s"); }

TEST(WebApplication, LocaleFilesHaveTheShippedSections) {
  for (const char* lang : kLanguages) {
    SCOPED_TRACE(lang);
    std::vector<std::string> order;
    Texts t = read_texts(kWww + "/locale/" + lang + "/locale.txt", &order);
    for (const char* s : kLocaleSections) EXPECT_TRUE(t.count(s)) << "[" << s << "] is missing";
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), "") << "the file must end with []";
    bool rtl = kRightToLeft.count(lang) > 0;
    EXPECT_EQ(t["base"]["dir"], rtl ? "rtl" : "ltr");
    EXPECT_FALSE(t["base"]["lang_name"].empty());
  }
}

TEST(WebApplication, TextsThePagesUseExist) {
  Texts en = read_texts(kWww + "/locale/en/locale.txt");
  std::vector<std::string> files;
  walk(kWww, "", files);
  std::regex server(R"(locale \[(\w+)\] (\w+))");
  std::regex browser(R"(T\('(\w+)',\s*'(\w+)'\s*[,)])");
  std::regex choice(R"(T\('(\w+)',\s*[^'()]*\?\s*'(\w+)'\s*:\s*'(\w+)')");
  int used = 0;
  for (const std::string& f : files) {
    if (f.rfind("lib/", 0) == 0 || !(ends_with(f, ".htm") || ends_with(f, ".js"))) continue;
    std::string text = slurp(kWww + "/" + f);
    auto check = [&](const std::string& section, const std::string& key) {
      ++used;
      EXPECT_TRUE(en.count(section) && en[section].count(key)) << f << " uses [" << section << "] " << key;
    };
    for (const std::regex* re : {&server, &browser}) {
      for (auto it = std::sregex_iterator(text.begin(), text.end(), *re); it != std::sregex_iterator(); ++it)
        check((*it)[1], (*it)[2]);
    }
    for (auto it = std::sregex_iterator(text.begin(), text.end(), choice); it != std::sregex_iterator(); ++it) {
      check((*it)[1], (*it)[2]);
      check((*it)[1], (*it)[3]);
    }
  }
  EXPECT_GT(used, 100);
  // Texts the pages build from numbers the device reports.
  auto need = [&](const std::string& section, const std::string& prefix, int from, int to) {
    for (int i = from; i <= to; ++i) EXPECT_TRUE(en[section].count(prefix + std::to_string(i))) << prefix << i;
  };
  need("ups_show", "batt_", 0, 5);
  need("ups_show", "test_kind_", 0, 3);
  need("ups_show", "test_result_", 0, 5);
  need("ups_show", "type_", 0, 1);
  for (const char* mode : {"mains", "battery", "bypass", "standby", "unknown", "searching", "link_failure",
                           "shutting_down", "offline", "not_ready"}) {
    EXPECT_TRUE(en["ups_mode"].count(mode)) << mode;
    EXPECT_TRUE(en["ups_mode"].count(std::string(mode) + "_sub")) << mode;
  }
  // The texts the service itself reads.
  for (const char* key : {"subject", "test_content"}) EXPECT_TRUE(en["email"].count(key)) << key;
  for (const char* key : {"display", "quit", "startup", "alarm"}) EXPECT_TRUE(en["winform"].count(key)) << key;
  EXPECT_EQ(en["main"]["realtime"], "Real-Time Status");
}

TEST(WebApplication, EnglishAlarmTextsAreTheSystemsOwn) {
  Texts t = read_texts(kWww + "/resource/en/0_locale.txt");
  auto& a = t["alarm"];
  EXPECT_EQ(a["alarm_1"], "Serial port communication failure");
  EXPECT_EQ(a["alarm_13"], "Using battery");
  EXPECT_EQ(a["alarm_17"], "Input mains power abnormal");
  EXPECT_EQ(a["alarm_17x"], "Input mains power restored");
  EXPECT_EQ(a["alarm_x_format"], "[%s] Alarm removed");
  for (int k : {1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 25, 26, 27, 28, 29, 30})
    EXPECT_FALSE(a["alarm_" + std::to_string(k)].empty()) << k;
  for (int k : {0, 2, 3, 22, 23, 24, 31}) EXPECT_FALSE(a.count("alarm_" + std::to_string(k))) << k;
}

TEST(WebApplication, FilesTheServiceReliesOn) {
  EXPECT_EQ(slurp(kWww + "/base/js/command.ts"), "shell $request_body\n");
  EXPECT_NE(slurp(kWww + "/main.htm").find("redirect /face/main.htm"), std::string::npos);
  std::string start = slurp(kWww + "/start.htm");
  EXPECT_NE(start.find("update_www"), std::string::npos);
  EXPECT_NE(start.find("redirect /page/main.htm"), std::string::npos);
  for (const char* f : {"404.htm", "base/head.htm", "face/main.htm", "page/main.htm", "locale/list.htm"})
    EXPECT_EQ(path_kind((kWww + "/" + f).c_str()), 2) << f;
  for (const char* d : {"base", "face", "lib", "page", "locale", "resource"})
    EXPECT_EQ(path_kind((kWww + "/" + d).c_str()), 1) << d;
  std::string def = kWww + "/conf/default.inf";
  EXPECT_EQ(profile_get(def.c_str(), "[master]", "name"), "UPS");
  std::string sys = kWww + "/conf/system.conf";
  EXPECT_FALSE(profile_get(sys.c_str(), "[product]", "pcode").empty());
  std::string version = profile_get(sys.c_str(), "[product]", "version");
  EXPECT_FALSE(version.empty());
  EXPECT_LT(version.size(), 16u);
}

TEST(WebApplication, ScriptPagesCarryNoStrayBlocks) {
  // Style sheets and browser scripts outside lib/ run through the page
  // runner too: an accidental block opener would run as a script.
  std::vector<std::string> files;
  walk(kWww, "", files);
  for (const std::string& f : files) {
    if (f.rfind("lib/", 0) == 0) continue;
    if (!ends_with(f, ".js") && !ends_with(f, ".css")) continue;
    EXPECT_EQ(slurp(kWww + "/" + f).find("<$"), std::string::npos) << f;
  }
}

TEST(WebApplication, TreePacksIntoAValidPackage) {
  std::string pack, error;
  ASSERT_GT(webpack_build(kWww.c_str(), pack, error), 0) << error;
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(pack.data()), pack.size());
  EXPECT_TRUE(webpack_verify(bytes));
  kvtest::TempProgramFolder dir;
  ASSERT_EQ(webpack_install(bytes), 0);
  EXPECT_EQ(kvtest::read_file("www/base/js/command.ts"), "shell $request_body\n");
  EXPECT_EQ(path_kind("www/locale/zh-TW/locale.txt"), 2);
}
