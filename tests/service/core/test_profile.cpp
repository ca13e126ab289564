#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "tests/support/test_support.h"

using kvtest::read_file;
using kvtest::TempProgramFolder;
using kvtest::write_file;

namespace {

constexpr const char* kFile = "config.inf";

std::vector<std::string> folder_names() {
  DirList list;
  std::vector<std::string> names;
  if (dir_list(".", 0, list) < 0) return names;
  for (const auto& e : list.entries) names.push_back(e.name);
  return names;
}

TEST(ProfileRead, ByteOrderMarkIsIgnoredAndDroppedOnWrite) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "\xEF\xBB\xBF[app]\nwebport=9800\n[]\n"));
  EXPECT_EQ(profile_get(kFile, "[app]", "webport"), "9800");
  ASSERT_EQ(profile_write_value(kFile, "[app]", "version", "1"), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nwebport=9800\r\nversion=1\r\n\r\n[]\n");
  ASSERT_TRUE(write_file(kFile, "\xEF\xBB\xBF\xEF\xBB\xBF[app]\nos=x\n"));
  ASSERT_EQ(profile_write_value(kFile, "[app]", "os", "y"), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nos=y\r\n\r\n");
}

TEST(ProfileRead, CommentsAndHashValues) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[app]\nname=UPS ##comment\n#hidden=1\nx=#test 0\n"));
  EXPECT_EQ(profile_get(kFile, "[app]", "name"), "UPS");
  EXPECT_EQ(profile_get(kFile, "[app]", "hidden"), "");
  EXPECT_EQ(profile_get(kFile, "[app]", "x"), "#test 0");
}

TEST(ProfileRead, LinesWithoutValueAreInvisibleAndVanishOnRewrite) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[app]\na=\nb = 2\n  = 3\nnoequals\n"));
  char out[16] = "junk";
  EXPECT_EQ(profile_read_value(kFile, "[app]", "a", out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(profile_read_section(kFile, "[app]").count(), 1);
  ASSERT_EQ(profile_write_value(kFile, "[app]", "c", "3"), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nb=2\r\nc=3\r\n\r\n");
}

TEST(ProfileRead, SectionsAreFoundOnlyByExactHeaderAtLineStart) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile,
                         "[email_smtp]\nhost=smtp\n[email]\nreceiver=a@b\n[app] ; main\nos=linux\n"
                         "[m]\na=1\n[b=2\nc=3\n"));
  EXPECT_EQ(profile_get(kFile, "[email]", "host"), "");
  EXPECT_EQ(profile_get(kFile, "[email]", "receiver"), "a@b");
  EXPECT_EQ(profile_get(kFile, "[email_smtp]", "host"), "smtp");
  EXPECT_EQ(profile_get(kFile, "[app]", "os"), "linux");  // trailing header text ignored
  EXPECT_EQ(profile_get(kFile, "[m]", "a"), "1");
  EXPECT_EQ(profile_get(kFile, "[m]", "c"), "");  // "[b=2" ended the section
  EXPECT_EQ(profile_get(kFile, "[nope]", "a"), "");
}

TEST(ProfileRead, MissingFilesFoldersAndSectionsGiveNothing) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("folder.inf"), 0);
  char out[8] = "junk";
  std::string text = "junk";
  EXPECT_EQ(profile_load("missing.inf", text), -1);
  EXPECT_EQ(text, "");
  EXPECT_EQ(profile_load("folder.inf", text), -1);
  EXPECT_EQ(profile_read_value("missing.inf", "[app]", "a", out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(profile_section_size("folder.inf", "[app]"), 0);
  EXPECT_EQ(profile_section_text("missing.inf", "", out), 0);
  EXPECT_EQ(profile_read_section("folder.inf", "[app]").count(), 0);
  ASSERT_TRUE(write_file(kFile, "[a]\nk=1\n[b]"));
  EXPECT_EQ(profile_section_size(kFile, "[b]"), 0);  // header on the last line: empty body
  EXPECT_EQ(profile_read_section(kFile, "[b]").count(), 0);
}

TEST(ProfileRead, ValuesAreCutToTheCallersBuffer) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[s]\nv=abcdef\n"));
  char out[5] = {'x', 'x', 'x', 'x', '#'};
  EXPECT_EQ(profile_read_value(kFile, "[s]", "v", std::span<char>(out, 4)), 3);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(out[4], '#');
}

TEST(ProfileWrite, RewriteIsStable) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[s]\n #k=1\n a = 2 \n [] = 5\nb=3 ## c\n"));
  EXPECT_EQ(profile_get(kFile, "[s]", "#k"), "1");
  ASSERT_EQ(profile_write_value(kFile, "[s]", "c", "4"), 0);
  const std::string once = read_file(kFile);
  EXPECT_EQ(once, "[s]\na=2\r\nb=3\r\nc=4\r\n\r\n");
  ASSERT_EQ(profile_write_value(kFile, "[s]", "c", "4"), 0);
  EXPECT_EQ(read_file(kFile), once);
}

TEST(ProfileRead, DuplicateKeysFirstWinsAndWriterDropsTheRest) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[s]\na=1\nb=2\na=3\n"));
  EXPECT_EQ(profile_get(kFile, "[s]", "a"), "1");
  ASSERT_EQ(profile_write_value(kFile, "[s]", "a", "9"), 0);
  EXPECT_EQ(read_file(kFile), "[s]\na=9\r\nb=2\r\n\r\n");
}

TEST(ProfileRead, OemFileIsConverted) {
  TempProgramFolder dir;
  // 0x81 is "ü" in the Western OEM code pages 437 and 850 alike.
  ASSERT_TRUE(write_file(kFile, "[s]\nname=M\x81ller\n"));
  EXPECT_EQ(profile_get(kFile, "[s]", "name"), "M\xC3\xBCller");
  ASSERT_EQ(profile_write_value(kFile, "[s]", "x", "1"), 0);
  EXPECT_EQ(read_file(kFile), "[s]\nname=M\xC3\xBCller\r\nx=1\r\n\r\n");
}

TEST(OemToUtf8, EveryByteBecomesValidUtf8) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string out = oem_to_utf8(all);
  EXPECT_TRUE(utf8_valid(out));
  EXPECT_EQ(out.substr(0, 127), all.substr(0, 127));  // ASCII passes unchanged
  EXPECT_GT(out.size(), all.size());
}

struct CommentCase {
  const char* body;
  const char* stripped;
};

TEST(ProfileSectionText, CommentRemoval) {
  const CommentCase cases[] = {
      {"a=1\n#c\nb=2 ##x\r\nd=#3\n", "a=1\nb=2 \nd=#3\n"},
      {"#first\nx=1", "x=1"},
      {"a##b##c\nz\n", "a\nz\n"},
      {"###\n", ""},
      {"  # not a comment\n", "  # not a comment\n"},
  };
  for (const auto& c : cases) {
    TempProgramFolder dir;
    ASSERT_TRUE(write_file(kFile, std::string("[s]\n") + c.body));
    char out[64];
    EXPECT_EQ(profile_section_text(kFile, "[s]", out), static_cast<int>(std::strlen(c.stripped))) << c.body;
    EXPECT_STREQ(out, c.stripped) << c.body;
    EXPECT_EQ(profile_section_size(kFile, "[s]"), static_cast<int>(std::strlen(c.body)));
  }
}

TEST(ProfileSectionText, TooSmallBufferStaysEmptyAndGetsTheStoredLength) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[s]\na=1\n#c\n[t]\n"));
  EXPECT_EQ(profile_section_size(kFile, "[s]"), 7);
  char out[8] = "junk";
  EXPECT_EQ(profile_section_text(kFile, "[s]", std::span<char>(out, 7)), 7);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(profile_section_text(kFile, "[s]", out), 4);
  EXPECT_STREQ(out, "a=1\n");
  // An empty header stands for the whole file.
  char whole[32];
  EXPECT_EQ(profile_section_size(kFile, ""), 15);
  EXPECT_EQ(profile_section_text(kFile, "", whole), 12);
  EXPECT_STREQ(whole, "[s]\na=1\n[t]\n");
}

TEST(ProfileParse, KeysValuesAndOffsets) {
  std::string_view text = "  k = v \nx=1=2\r\n# c=d\nlast=end";
  ProfileList list = profile_parse(text);
  ASSERT_EQ(list.count(), 4);
  EXPECT_EQ(list.keys, (std::vector<std::string>{"k", "x", "# c", "last"}));
  EXPECT_EQ(list.values, (std::vector<std::string>{"v", "1=2", "d", "end"}));
  EXPECT_EQ(list.key_offsets, (std::vector<int>{2, 9, 16, 22}));
  EXPECT_EQ(list.value_offsets, (std::vector<int>{6, 11, 20, 27}));
  EXPECT_EQ(profile_parse("").count(), 0);
  EXPECT_EQ(profile_parse("\n\n=\n").count(), 0);
}

TEST(ProfileWrite, NewFileHasFiveLines) {
  TempProgramFolder dir;
  ASSERT_EQ(profile_write_value(kFile, "[app]", "language", "en"), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nlanguage=en\r\n\r\n\n[]\n");
  EXPECT_EQ(profile_get(kFile, "[app]", "language"), "en");
}

TEST(ProfileWrite, NewSectionGoesBeforeTheEndMarker) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[app]\nos=windows\n\n[]\n"));
  ASSERT_EQ(profile_write_value(kFile, "[master]", "language", "en"), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nos=windows\n\n[master]\nlanguage=en\r\n\r\n[]\n");
}

TEST(ProfileWrite, NewSectionAfterAnUnterminatedLastLine) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[a]\nk=1"));
  ASSERT_EQ(profile_write_section(kFile, "[b]", "z=2\n"), 0);
  EXPECT_EQ(read_file(kFile), "[a]\nk=1\n[b]\nz=2\n");
  EXPECT_EQ(profile_get(kFile, "[b]", "z"), "2");
}

TEST(ProfileWrite, RemovingLastKeyRemovesSectionAndEmptyFileIsDeleted) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[app]\nos=windows\n[master]\nlanguage=en\r\n\r\n[]\n"));
  ASSERT_EQ(profile_write_value(kFile, "[master]", "language", nullptr), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nos=windows\n[]\n");
  ASSERT_EQ(profile_write_value(kFile, "[app]", "os", ""), 0);
  EXPECT_EQ(read_file(kFile), "[]\n");

  ASSERT_TRUE(write_file("only.inf", "[app]\nos=windows\n"));
  ASSERT_EQ(profile_write_value("only.inf", "[app]", "os", nullptr), 0);
  EXPECT_EQ(path_kind("only.inf"), 0);
}

TEST(ProfileWrite, NothingToDoOnAMissingFile) {
  TempProgramFolder dir;
  EXPECT_EQ(profile_write_value(kFile, "[app]", "os", nullptr), -1);
  EXPECT_EQ(profile_write_section(kFile, "[app]", ""), -1);
  EXPECT_EQ(path_kind(kFile), 0);
  ASSERT_TRUE(write_file(kFile, "[app]\nos=x\n"));
  EXPECT_EQ(profile_write_value(kFile, "[other]", "os", nullptr), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nos=x\n");
}

TEST(ProfileWrite, SectionReplacementAndRemoval) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[app] old\nx=1\n[other]\ny=2\n"));
  ASSERT_EQ(profile_write_section(kFile, "[app]", "z=3\r\n"), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nz=3\r\n[other]\ny=2\n");
  ASSERT_EQ(profile_write_section(kFile, "[other]", "w=4"), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nz=3\r\n[other]\nw=4\n");
  ASSERT_EQ(profile_write_section(kFile, "[app]", ""), 0);
  EXPECT_EQ(read_file(kFile), "[other]\nw=4\n");
  ASSERT_EQ(profile_write_section("new.inf", "[x]", "a=1"), 0);
  EXPECT_EQ(read_file("new.inf"), "[x]\na=1\n\n[]\n");
}

TEST(ProfileWrite, HeaderOnTheLastLineGetsItsBody) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[a]\nk=1\n[b]"));
  ASSERT_EQ(profile_write_value(kFile, "[b]", "z", "1"), 0);
  EXPECT_EQ(read_file(kFile), "[a]\nk=1\n[b]\nz=1\r\n\r\n");
}

TEST(ProfileWrite, ReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  TempProgramFolder dir;
  std::string old = "[app]\nos=windows\nlong=" + std::string(4000, 'x') + "\n[]\n";
  ASSERT_TRUE(write_file(kFile, old));
  ASSERT_EQ(profile_write_value(kFile, "[app]", "long", nullptr), 0);
  EXPECT_EQ(read_file(kFile), "[app]\nos=windows\r\n\r\n[]\n");
  ASSERT_EQ(profile_write_value(kFile, "[app]", "os", "linux"), 0);
  ASSERT_EQ(profile_write_section(kFile, "[x]", "a=1\n"), 0);
  EXPECT_EQ(folder_names(), (std::vector<std::string>{kFile}));
}

TEST(ProfileWrite, NeverReplacesWhatItCannotRead) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create(kFile), 0);
  EXPECT_EQ(profile_write_value(kFile, "[app]", "os", "x"), -1);
  EXPECT_EQ(profile_write_section(kFile, "[app]", "os=x\n"), -1);
  EXPECT_EQ(path_kind(kFile), 1);
  EXPECT_EQ(folder_names(), (std::vector<std::string>{kFile}));
}

TEST(ProfileWrite, RefusesTextThatWouldBreakTheFile) {
  TempProgramFolder dir;
  const std::string before = "[app]\nos=windows\n[]\n";
  ASSERT_TRUE(write_file(kFile, before));
  EXPECT_EQ(profile_write_value(kFile, "[app]", "os", "x\n[app]\nwebport=1"), -1);
  EXPECT_EQ(profile_write_value(kFile, "[app]", "os", "x\r"), -1);
  const char* bad_keys[] = {"", "a=b", " a", "a ", "[a", "#a", "a##b", "a\nb"};
  for (const char* key : bad_keys) EXPECT_EQ(profile_write_value(kFile, "[app]", key, "1"), -1) << key;
  EXPECT_EQ(profile_write_value(kFile, "app", "k", "1"), -1);
  EXPECT_EQ(profile_write_value(kFile, "[app]\n[x]", "k", "1"), -1);
  EXPECT_EQ(profile_write_value(kFile, nullptr, "k", "1"), -1);
  EXPECT_EQ(profile_write_section(kFile, "", "k=1\n"), -1);
  // Bytes that are not UTF-8 would turn the whole file into OEM text.
  EXPECT_EQ(profile_write_value(kFile, "[app]", "name", "M\x81ller"), -1);
  EXPECT_EQ(profile_write_value(kFile, "[\xFF]", "k", "1"), -1);
  EXPECT_EQ(profile_write_value(kFile, "[app]", "k\xC3", "1"), -1);
  EXPECT_EQ(profile_write_section(kFile, "[x]", "k=\xFF\n"), -1);
  EXPECT_EQ(read_file(kFile), before);
  // Values may hold "=", "#" and blanks inside.
  ASSERT_EQ(profile_write_value(kFile, "[app]", "k", "a=b #c d"), 0);
  EXPECT_EQ(profile_get(kFile, "[app]", "k"), "a=b #c d");
}

TEST(ProfileWrite, BackslashSeparatorsAreAccepted) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("user"), 0);
  ASSERT_EQ(profile_write_value("user\\config.inf", "[master]", "language", "de"), 0);
  EXPECT_EQ(path_kind("user/config.inf"), 2);
  EXPECT_EQ(profile_get("user\\config.inf", "[master]", "language"), "de");
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "language"), "de");
}

TEST(ProfileReadSection, ListInFileOrder) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file(kFile, "[passwd]\npass1 = a\npass2=b ## old\n\n[x]\npass3=c\n"));
  ProfileList list = profile_read_section(kFile, "[passwd]");
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.keys, (std::vector<std::string>{"pass1", "pass2"}));
  EXPECT_EQ(list.values, (std::vector<std::string>{"a", "b"}));
  ASSERT_NE(list.find("pass2"), nullptr);
  EXPECT_EQ(*list.find("pass2"), "b");
  EXPECT_EQ(list.find("pass3"), nullptr);
}

}  // namespace
