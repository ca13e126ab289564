#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/cloud/webpack.h"
#include "service/core/file_util.h"
#include "tests/support/test_support.h"

using kvtest::read_file;
using kvtest::TempProgramFolder;
using kvtest::write_file;

namespace {

// Writes raw packages entry by entry, so that tests can also write the
// broken ones.
struct Pack {
  std::string bytes = std::string(1, '\x80');
  Pack& file(const std::string& name, const std::string& data) {
    bytes += '\x01';
    bytes += name;
    bytes += '\0';
    u32(static_cast<uint32_t>(data.size()));
    bytes += data;
    return *this;
  }
  Pack& dir(const std::string& name) {
    bytes += '\x02';
    bytes += name;
    bytes += '\0';
    return *this;
  }
  Pack& end() {
    bytes += '\x03';
    return *this;
  }
  Pack& raw(const std::string& b) {
    bytes += b;
    return *this;
  }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  // Trailer, fill to a multiple of 4, checksum.
  std::string finish(const std::string& trailer = "\xff") {
    std::string out = bytes + trailer;
    while (out.size() % 4 != 0) out += '\0';
    uint32_t x = 0;
    for (size_t i = 0; i < out.size(); i += 4) {
      auto b = reinterpret_cast<const uint8_t*>(out.data() + i);
      x ^= b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
    for (int i = 0; i < 4; ++i) out += static_cast<char>((x >> (8 * i)) & 0xFF);
    return out;
  }
};

std::span<const uint8_t> span_of(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

// The installed web folder as it stands before a refused install.
void make_installed_www() {
  ASSERT_EQ(dir_create("www"), 0);
  ASSERT_TRUE(write_file("www/main.htm", "old main"));
  ASSERT_EQ(dir_create("var"), 0);
  ASSERT_TRUE(write_file("var/build.txt", "100"));
}

void expect_installed_www_untouched() {
  EXPECT_EQ(read_file("www/main.htm"), "old main");
  EXPECT_EQ(read_file("var/build.txt"), "100");
  EXPECT_EQ(path_kind("www.new"), 0);
  EXPECT_EQ(path_kind("www.old"), 0);
  EXPECT_EQ(path_kind("x"), 0);
  EXPECT_EQ(path_kind("evil"), 0);
}

void write_appinfo(const std::string& build) {
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\npackwww=pack.www\nbuild=" + build + "\n\n[]\n"));
}

}  // namespace

TEST(Webpack, BuildThenInstallGivesTheSameTree) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("src"), 0);
  ASSERT_EQ(dir_create("src/page"), 0);
  ASSERT_EQ(dir_create("src/locale"), 0);
  ASSERT_EQ(dir_create("src/locale/zh-TW"), 0);
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  ASSERT_TRUE(write_file("src/main.htm", "<$ redirect /face/main.htm $>"));
  ASSERT_TRUE(write_file("src/page/logo.png", binary));
  ASSERT_TRUE(write_file("src/locale/zh-TW/locale.txt", "[base]\ntitle=\xe4\xb8\x8d\xe6\x96\xb7\xe9\x9b\xbb\n"));
  ASSERT_TRUE(write_file("src/.hidden", "not shipped"));

  std::string pack, error;
  ASSERT_GT(webpack_build("src", pack, error), 0) << error;
  EXPECT_EQ(pack.size() % 4, 0u);
  ASSERT_TRUE(webpack_verify(span_of(pack)));
  // The root body ends before the trailer byte, fill and checksum.
  int body = webpack_unpack(nullptr, span_of(pack));
  ASSERT_GT(body, 0);
  EXPECT_EQ(static_cast<unsigned char>(pack[1 + body]), 0xFF);
  EXPECT_LE(pack.size() - (1 + body), 8u);

  ASSERT_EQ(webpack_install(span_of(pack)), 0);
  EXPECT_EQ(read_file("www/main.htm"), "<$ redirect /face/main.htm $>");
  EXPECT_EQ(read_file("www/page/logo.png"), binary);
  EXPECT_EQ(read_file("www/locale/zh-TW/locale.txt"), "[base]\ntitle=\xe4\xb8\x8d\xe6\x96\xb7\xe9\x9b\xbb\n");
  EXPECT_EQ(path_kind("www/.hidden"), 0);
  EXPECT_EQ(path_kind("www.new"), 0);
  EXPECT_EQ(path_kind("www.old"), 0);
}

TEST(Webpack, InstallReplacesTheWholeOldTree) {
  TempProgramFolder dir;
  make_installed_www();
  ASSERT_TRUE(write_file("www/stale.htm", "gone after the install"));
  std::string pack = Pack().file("main.htm", "new main").dir("base").file("head.htm", "h").end().end().finish();
  ASSERT_EQ(webpack_install(span_of(pack)), 0);
  EXPECT_EQ(read_file("www/main.htm"), "new main");
  EXPECT_EQ(read_file("www/base/head.htm"), "h");
  EXPECT_EQ(path_kind("www/stale.htm"), 0);
}

TEST(Webpack, TrailerBytesAreNotWalkedButCountInTheChecksum) {
  TempProgramFolder dir;
  Pack p;
  p.file("a.txt", "abc").end();
  // Bytes after the root's end that look like entries are never written.
  std::string pack = p.finish(std::string("\xff\x01z.txt\0\x01\0\0\0Z", 13));
  ASSERT_TRUE(webpack_verify(span_of(pack)));
  ASSERT_EQ(webpack_install(span_of(pack)), 0);
  EXPECT_EQ(read_file("www/a.txt"), "abc");
  EXPECT_EQ(path_kind("www/z.txt"), 0);
  // The same trailer with one byte changed no longer matches the checksum.
  pack[pack.size() - 6] ^= 0x40;
  EXPECT_FALSE(webpack_verify(span_of(pack)));
}

TEST(Webpack, StartBytesAreSkippedAndEmptyFilesLeaveNoFile) {
  TempProgramFolder dir;
  std::string pack = Pack().raw("\x80\x80").file("empty.txt", "").dir("d").raw("\x80").file("f", "1").end().end().finish();
  ASSERT_EQ(webpack_install(span_of(pack)), 0);
  EXPECT_EQ(path_kind("www/empty.txt"), 0);
  EXPECT_EQ(read_file("www/d/f"), "1");
}

TEST(Webpack, RefusedPackagesLeaveWwwUntouched) {
  std::string good = Pack().file("main.htm", "new").end().finish();
  std::string odd_size = good + "x";
  std::string bad_start = good;
  bad_start[0] = '\x81';
  std::string bad_sum = good;
  bad_sum.back() ^= 1;
  // Each of these is given a valid checksum: only the structure is wrong.
  struct Case {
    const char* what;
    std::string pack;
  } cases[] = {
      {"empty file", ""},
      {"size not a multiple of 4", odd_size},
      {"first byte not 0x80", bad_start},
      {"checksum", bad_sum},
      {"unknown type byte", Pack().file("main.htm", "new").raw("\x04").end().finish()},
      {"root body without end", Pack().file("main.htm", "new").finish("")},
      {"folder body without end", Pack().dir("d").file("a", "1").finish("")},
      {"file length past the end", Pack().raw(std::string("\x01main.htm\0\xff\xff\x00\x00", 14)).end().finish()},
      {"name without its 0 byte", Pack().raw("\x01main.htmxx").finish("")},
      {"dot dot", Pack().file("main.htm", "new").file("..", "x").end().finish()},
      {"parent path", Pack().file("main.htm", "new").file("../../x", "x").end().finish()},
      {"absolute path", Pack().file("main.htm", "new").file("/x", "x").end().finish()},
      {"backslash", Pack().file("main.htm", "new").file("..\\x", "x").end().finish()},
      {"drive letter", Pack().file("main.htm", "new").file("C:x", "x").end().finish()},
      {"folder dot dot", Pack().dir("..").file("evil", "x").end().end().finish()},
      {"empty name", Pack().file("", "x").end().finish()},
      {"device name", Pack().file("main.htm", "new").file("nul.txt", "x").end().finish()},
      {"control character", Pack().file("a\nb", "x").end().finish()},
      {"invalid UTF-8", Pack().file("a\xff", "x").end().finish()},
      {"path too long", Pack().dir(std::string(200, 'd')).file(std::string(60, 'f'), "x").end().end().finish()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempProgramFolder dir;
    make_installed_www();
    EXPECT_FALSE(webpack_verify(span_of(c.pack)));
    EXPECT_EQ(webpack_install(span_of(c.pack)), -1);
    write_appinfo("200");
    ASSERT_TRUE(write_file("pack.www", c.pack));
    EXPECT_EQ(webpack_install_local(), -1);
    expect_installed_www_untouched();
  }
}

TEST(Webpack, LongestPathIsAccepted) {
  TempProgramFolder dir;
  // "www/" + 200 + "/" + 50 = 255 bytes.
  std::string pack = Pack().dir(std::string(200, 'd')).file(std::string(50, 'f'), "x").end().end().finish();
  EXPECT_TRUE(webpack_verify(span_of(pack)));
  std::string longer = Pack().dir(std::string(200, 'd')).file(std::string(51, 'f'), "x").end().end().finish();
  EXPECT_FALSE(webpack_verify(span_of(longer)));
}

TEST(Webpack, NameRules) {
  for (const char* ok : {"main.htm", "zh-TW", ".htaccess", "a b.txt", "\xe4\xb8\xad.txt", "console.htm", "com10"}) {
    EXPECT_TRUE(webpack_name_ok(ok)) << ok;
  }
  for (const char* bad : {"", ".", "..", "...", "a/b", "a\\b", "c:", "a.", "a ", "CON", "aux.htm", "Com1", "lpt9.txt",
                          "a*b", "a?b", "a|b", "a<b", "a\"b", "a\tb"}) {
    EXPECT_FALSE(webpack_name_ok(bad)) << bad;
  }
}

TEST(Webpack, BuildRefusesNamesTheReaderWouldRefuse) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("src"), 0);
  ASSERT_TRUE(write_file("src/a:b", "x"));
  std::string pack, error;
  EXPECT_EQ(webpack_build("src", pack, error), -1);
  EXPECT_NE(error.find("a:b"), std::string::npos);
  EXPECT_TRUE(pack.empty());
  EXPECT_EQ(webpack_build("missing", pack, error), -1);
}

TEST(Webpack, InstallLocalComparesBuildNumbers) {
  TempProgramFolder dir;
  std::string pack = Pack().file("main.htm", "new").end().finish();
  ASSERT_TRUE(write_file("pack.www", pack));
  write_appinfo("260711");
  make_installed_www();

  // The same build with a line end after it: nothing to do.
  ASSERT_TRUE(write_file("var/build.txt", "260711\n"));
  EXPECT_EQ(webpack_installed_build(), 260711);
  EXPECT_EQ(webpack_install_local(), 0);
  EXPECT_EQ(read_file("www/main.htm"), "old main");

  // A newer installed build (from an update) is not replaced either.
  ASSERT_TRUE(write_file("var/build.txt", "260800"));
  EXPECT_EQ(webpack_install_local(), 0);
  EXPECT_EQ(read_file("www/main.htm"), "old main");

  ASSERT_TRUE(write_file("var/build.txt", "260710 \r\n"));
  EXPECT_EQ(webpack_install_local(), 1);
  EXPECT_EQ(read_file("www/main.htm"), "new");
  EXPECT_EQ(read_file("var/build.txt"), "260711");
  EXPECT_EQ(webpack_install_local(), 0);
}

TEST(Webpack, InstallLocalStopsWithoutSettingsOrPackage) {
  TempProgramFolder dir;
  make_installed_www();
  EXPECT_EQ(webpack_install_local(), 0);  // no appinfo.inf
  write_appinfo("200");
  EXPECT_EQ(webpack_install_local(), 0);  // no pack.www
  ASSERT_TRUE(write_file("appinfo.inf", "[app]\npackwww=pack.www\n\n[]\n"));
  ASSERT_TRUE(write_file("pack.www", Pack().file("main.htm", "new").end().finish()));
  EXPECT_EQ(webpack_install_local(), 0);  // no build
  expect_installed_www_untouched();
}

TEST(Webpack, MissingWebFolderCountsAsNothingInstalled) {
  TempProgramFolder dir;
  ASSERT_EQ(dir_create("var"), 0);
  ASSERT_TRUE(write_file("var/build.txt", "260711"));
  EXPECT_EQ(webpack_installed_build(), 0);
  write_appinfo("260711");
  ASSERT_TRUE(write_file("pack.www", Pack().file("main.htm", "new").end().finish()));
  EXPECT_EQ(webpack_install_local(), 1);
  EXPECT_EQ(read_file("www/main.htm"), "new");
}

TEST(Webpack, RecoveryAfterAnInterruptedSwap) {
  struct Case {
    const char* what;
    bool www, fresh, old;
    const char* expect;  // content of www/main.htm afterwards, "" for none
  } cases[] = {
      {"crash while unpacking", true, true, false, "current"},
      {"crash between the two moves", false, true, true, "new"},
      {"crash before the old tree was deleted", true, false, true, "current"},
      {"first install cut short", false, true, false, ""},
      {"old tree alone", false, false, true, "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempProgramFolder dir;
    if (c.www) {
      ASSERT_EQ(dir_create("www"), 0);
      ASSERT_TRUE(write_file("www/main.htm", "current"));
    }
    if (c.fresh) {
      ASSERT_EQ(dir_create("www.new"), 0);
      ASSERT_TRUE(write_file("www.new/main.htm", "new"));
    }
    if (c.old) {
      ASSERT_EQ(dir_create("www.old"), 0);
      ASSERT_TRUE(write_file("www.old/main.htm", "old"));
    }
    webpack_recover();
    EXPECT_EQ(read_file("www/main.htm"), c.expect);
    EXPECT_EQ(path_kind("www.new"), 0);
    EXPECT_EQ(path_kind("www.old"), 0);
  }
}

TEST(Webpack, StaleUnpackFolderDoesNotLeakIntoTheInstall) {
  TempProgramFolder dir;
  make_installed_www();
  ASSERT_EQ(dir_create("www.new"), 0);
  ASSERT_TRUE(write_file("www.new/leftover.htm", "from a cut install"));
  ASSERT_EQ(webpack_install(span_of(Pack().file("main.htm", "new").end().finish())), 0);
  EXPECT_EQ(read_file("www/main.htm"), "new");
  EXPECT_EQ(path_kind("www/leftover.htm"), 0);
}
