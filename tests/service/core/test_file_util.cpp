#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/service_log.h"
#include "tests/support/test_support.h"

using kvtest::read_file;
using kvtest::TempProgramFolder;
using kvtest::write_file;

TEST(FileUtil, PathKindAndSize) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("tmp"), 0);
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\n"));
  EXPECT_EQ(path_kind("tmp"), 1);
  EXPECT_EQ(path_kind("appinfo.inf"), 2);
  EXPECT_EQ(path_kind("missing"), 0);
  EXPECT_EQ(path_kind(""), 0);
  EXPECT_EQ(file_size("appinfo.inf"), 6);
  EXPECT_EQ(file_size("missing"), 0);
  EXPECT_EQ(file_size("tmp"), 0);
}

TEST(FileUtil, DirCreateIsOneLevelAndIdempotent) {
  TempProgramFolder dir;
  EXPECT_EQ(dir_create("a"), 0);
  EXPECT_EQ(dir_create("a"), 0);
  EXPECT_EQ(dir_create("x/y"), -1);  // parents are not created
  ASSERT_TRUE(write_file("f", "1"));
  EXPECT_EQ(dir_create("f"), -1);  // a file of that name is no folder
}

TEST(FileUtil, TreeDeleteRemovesNestedFolders) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("t"), 0);
  ASSERT_EQ(dir_create("t/a"), 0);
  ASSERT_EQ(dir_create("t/a/b"), 0);
  ASSERT_TRUE(write_file("t/a/b/c.txt", "x"));
  ASSERT_TRUE(write_file("t/top.txt", "y"));
  EXPECT_EQ(tree_delete("t"), 0);
  EXPECT_EQ(path_kind("t"), 0);
  ASSERT_TRUE(write_file("single", "z"));
  EXPECT_EQ(tree_delete("single"), 0);
  EXPECT_EQ(path_kind("single"), 0);
}

TEST(FileUtil, MoveRefusesExistingTargetReplaceDoesNot) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file("a", "new"));
  ASSERT_TRUE(write_file("b", "old"));
  EXPECT_EQ(file_move("a", "b"), -1);
  EXPECT_EQ(read_file("b"), "old");
  EXPECT_EQ(file_replace("a", "b"), 0);
  EXPECT_EQ(read_file("b"), "new");
  EXPECT_EQ(path_kind("a"), 0);
  EXPECT_EQ(file_move("b", "c"), 0);
  EXPECT_EQ(read_file("c"), "new");
  EXPECT_EQ(file_delete("c"), 0);
  EXPECT_EQ(file_delete("c"), -1);
}

TEST(FileUtil, WriteAtomicReplacesWholeAndLeavesNoTemporary) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("user"), 0);
  ASSERT_TRUE(write_file("user/config.inf", std::string(5000, 'x')));
  EXPECT_EQ(file_write_atomic("user/config.inf", "short"), 0);
  EXPECT_EQ(read_file("user/config.inf"), "short");
  DirList list;
  ASSERT_EQ(dir_list("user", 0, list), 1);
  EXPECT_EQ(list.entries[0].name, "config.inf");
  // A folder that does not exist cannot take the file; nothing is created.
  EXPECT_EQ(file_write_atomic("nofolder/x.inf", "data"), -1);
  EXPECT_EQ(path_kind("nofolder"), 0);
}

TEST(FileUtil, ReadAllBoundsAndKinds) {
  TempProgramFolder dir;
  ASSERT_TRUE(write_file("f", "0123456789"));
  std::string out;
  EXPECT_EQ(file_read_all("f", out), 10);
  EXPECT_EQ(out, "0123456789");
  EXPECT_EQ(file_read_all("f", out, 9), -1);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(dir_create("d"), 0);
  EXPECT_EQ(file_read_all("d", out), -1);
  EXPECT_EQ(file_read_all("missing", out), -1);
}

TEST(FileUtil, DirListOrderAndFilters) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("logs"), 0);
  ASSERT_TRUE(write_file("logs/B.log", "1"));
  ASSERT_TRUE(write_file("logs/a.log", "2"));
  ASSERT_TRUE(write_file("logs/a.log.old", "3"));
  ASSERT_TRUE(write_file("logs/.hidden", "4"));
  ASSERT_EQ(dir_create("logs/sub"), 0);

  struct Case {
    int kinds;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {2, {"a.log", "a.log.old", "B.log"}},
      {1, {"sub"}},
      {3, {"a.log", "a.log.old", "B.log", "sub"}},
      {0, {".hidden", "a.log", "a.log.old", "B.log", "sub"}},
      {2 | 16, {".hidden", "a.log", "a.log.old", "B.log"}},
  };
  for (const Case& c : cases) {
    DirList list;
    ASSERT_EQ(dir_list("logs", c.kinds, list), static_cast<int>(c.names.size())) << "kinds " << c.kinds;
    std::vector<std::string> got;
    for (const DirEntry& e : list.entries) got.push_back(e.name);
    EXPECT_EQ(got, c.names) << "kinds " << c.kinds;
  }
  DirList none;
  EXPECT_EQ(dir_list("no-such-folder", 0, none), -1);
}

TEST(FileUtil, ChangeDirAndCurrentDir) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("inner"), 0);
  std::string before = current_dir();
  ASSERT_EQ(change_dir("inner"), 0);
  EXPECT_EQ(current_dir(), before + "/inner");
  ASSERT_EQ(change_dir(before.c_str()), 0);
  EXPECT_EQ(change_dir("missing"), -1);
  EXPECT_NE(program_folder(), "");
}

TEST(ServiceLog, AppendsTimestampedLinesAndCutsLongOnes) {
  TempProgramFolder dir;
  kvtest::FakeClock clock(1000, 1765450000);
  service_log("dropped: no user folder yet");
  EXPECT_EQ(path_kind("user/log.txt"), 0);
  ASSERT_EQ(dir_create("user"), 0);
  service_log("start");
  clock.set_unix(1765450007);
  service_log("stop");
  EXPECT_EQ(read_file("user/log.txt"), "1765450000 start\n1765450007 stop\n");

  service_log(std::string(3000, 'x').c_str());
  std::string all = read_file("user/log.txt");
  std::size_t last = all.rfind('\n', all.size() - 2);
  std::string line = all.substr(last + 1);
  EXPECT_EQ(line.size(), 1023u);
  EXPECT_EQ(line.back(), '\n');
}
