// Alarm texts: both resource layouts, the language fallbacks, removal
// texts, parameters, and names that must not leave the resource folder.
#include <string>
#include <vector>

#include "tests/service/supervision/sup_fixture.h"

namespace {

using namespace suptest;

struct File {
  const char* path;
  const char* text;
};

struct TextCase {
  const char* name;
  std::vector<File> files;
  uint32_t code;
  const char* language;
  const char* expected;
};

class AlarmText : public SupervisionTest, public ::testing::WithParamInterface<TextCase> {};

void make_parents(const std::string& path) {
  for (size_t p = path.find('/'); p != std::string::npos; p = path.find('/', p + 1)) dir_create(path.substr(0, p).c_str());
}

TEST_P(AlarmText, Lookup) {
  for (const File& f : GetParam().files) {
    make_parents(f.path);
    ASSERT_TRUE(kvtest::write_file(f.path, f.text));
  }
  EXPECT_EQ(alarm_text(GetParam().code, GetParam().language), GetParam().expected);
}

const char* kEn = "[alarm]\nalarm_17=Input mains power abnormal\nalarm_17x=Input mains power restored\n"
                  "alarm_13=Using battery\nalarm_x_format=[%s] Alarm removed\n";
const char* kDe = "[alarm]\nalarm_13=Batteriebetrieb\n";
const char* kZh = "[alarm]\nalarm_13=zh13\n";

INSTANTIATE_TEST_SUITE_P(
    Table, AlarmText,
    ::testing::Values(
        TextCase{"raise", {{"www/resource/en/0_locale.txt", kEn}}, 13, "en", "Using battery"},
        TextCase{"own_removal", {{"www/resource/en/0_locale.txt", kEn}}, 0x8000 + 17, "en", "Input mains power restored"},
        TextCase{"removal_format", {{"www/resource/en/0_locale.txt", kEn}}, 0x8000 + 13, "en",
                 "[Using battery] Alarm removed"},
        TextCase{"default_removal_format", {{"www/resource/en/0_locale.txt", "[alarm]\nalarm_13=Using battery\n"}},
                 0x8000 + 13, "en", "Using battery Removed"},
        TextCase{"removal_without_raise", {{"www/resource/en/0_locale.txt", kEn}}, 0x8000 + 5, "en", "alarm_5x"},
        TextCase{"raise_missing", {{"www/resource/en/0_locale.txt", kEn}}, 5, "en", "alarm_5"},
        TextCase{"no_resource", {}, 13, "en", "alarm_13"},
        TextCase{"language_file", {{"www/resource/en/0_locale.txt", kEn}, {"www/resource/de/0_locale.txt", kDe}}, 13,
                 "de", "Batteriebetrieb"},
        TextCase{"region_cut", {{"www/resource/en/0_locale.txt", kEn}, {"www/resource/de/0_locale.txt", kDe}}, 13,
                 "de-DE", "Batteriebetrieb"},
        TextCase{"short_code_not_cut", {{"www/resource/en/0_locale.txt", kEn}, {"www/resource/de/0_locale.txt", kDe}},
                 13, "de-", "Using battery"},
        TextCase{"fallback_en", {{"www/resource/en/0_locale.txt", kEn}}, 13, "fr", "Using battery"},
        TextCase{"fallback_zh", {{"www/resource/zh/0_locale.txt", kZh}}, 13, "fr", "zh13"},
        TextCase{"un_takes_package_language",
                 {{"www/resource/en/0_locale.txt", kEn},
                  {"www/resource/de/0_locale.txt", kDe},
                  {"www/conf/default.inf", "[master]\nlanguage=de\n"}},
                 13, "un", "Batteriebetrieb"},
        TextCase{"empty_language_is_en", {{"www/resource/en/0_locale.txt", kEn}}, 13, "", "Using battery"},
        TextCase{"key_missing_in_language_file_is_not_looked_up_elsewhere",
                 {{"www/resource/en/0_locale.txt", kEn}, {"www/resource/de/0_locale.txt", kDe}}, 17, "de", "alarm_17"},
        TextCase{"single_folder_layout",
                 {{"www/resource/0_locale.zh", kZh}, {"www/resource/0_locale.de", kDe}}, 13, "de", "Batteriebetrieb"},
        TextCase{"single_folder_fallback", {{"www/resource/0_locale.zh", kZh}}, 13, "de", "zh13"},
        TextCase{"single_folder_needs_zh",
                 {{"www/resource/0_locale.de", kDe}, {"www/resource/en/0_locale.txt", kEn}}, 13, "de", "Using battery"},
        TextCase{"group_override",
                 {{"tmp/0_locale", "custom \r\n"}, {"www/resource/en/custom.txt", "[alarm]\nalarm_13=Custom text\n"}},
                 13, "en", "Custom text"},
        TextCase{"unsafe_group_override_ignored",
                 {{"tmp/0_locale", "../../user/x"}, {"www/resource/en/0_locale.txt", kEn}}, 13, "en", "Using battery"},
        TextCase{"group_of_code", {{"www/resource/en/1_locale.txt", "[alarm]\nalarm_7=Door open\n"}}, 0x10000007,
                 "en", "Door open"},
        TextCase{"unsafe_language_skipped", {{"www/resource/en/0_locale.txt", kEn}, {"secret.txt", kDe}}, 13,
                 "../../secret", "Using battery"},
        TextCase{"parameters",
                 {{"www/resource/en/1_locale.txt", "[alarm]\nalarm_2=Phase $1 of $2 lost, $1\n"}},
                 0x10000000 | (5u << 16) | (3u << 24) | 2u, "en", "Phase 5 of 3 lost, $1"},
        TextCase{"format_is_no_printf",
                 {{"www/resource/en/0_locale.txt", "[alarm]\nalarm_13=Bat\nalarm_x_format=%d%n %s %s 100%%\n"}},
                 0x8000 + 13, "en", "%d%n Bat %s 100%"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

}  // namespace
