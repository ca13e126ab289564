// The port layer: device paths, invalid handles, discovery lists.
#include <gtest/gtest.h>

#include <string>

#include "service/core/file_util.h"
#include "service/ups/serial_port.h"
#include "service/ups/ups_console.h"
#include "tests/support/test_support.h"

namespace {

std::string com_path(const char* name, size_t room = 32) {
  char out[32];
  int n = sport_com_path(name, std::span<char>(out, room));
  return n < 0 ? "-" : std::string(out, static_cast<size_t>(n));
}

TEST(SerialPort, ComDevicePaths) {
  EXPECT_EQ(com_path("COM9"), "COM9");
  EXPECT_EQ(com_path("COM10"), "\\\\.\\COM10");
  EXPECT_EQ(com_path("COM3x"), "COM3");
  EXPECT_EQ(com_path("COM0"), "-");
  EXPECT_EQ(com_path("COM-2"), "-");
  EXPECT_EQ(com_path("COM"), "-");
  EXPECT_EQ(com_path(""), "-");
  EXPECT_EQ(com_path("COM12345", 8), "-");  // does not fit
}

TEST(SerialPort, InvalidHandlesAreRefusedOrIgnored) {
  uint8_t buf[4] = {'Q', '1', '\r', 0};
  for (sport_t h : {sport_t{0}, sport_t{-1}}) {
    EXPECT_EQ(sport_write(h, buf, 0, 0), 0);
    EXPECT_EQ(sport_write(h, buf, 3, 0), -1);
    EXPECT_EQ(sport_read(h, buf, 4), -1);
    EXPECT_EQ(sport_close(h), 0);
    EXPECT_EQ(sport_drain(h), 0);
  }
  EXPECT_EQ(sport_ops.open, &sport_open);
  EXPECT_EQ(sport_ops.read, &sport_read);
  EXPECT_EQ(sport_ops.write, &sport_write);
}

TEST(SerialPort, MissingPortFailsWithItsLine) {
  kvtest::TempProgramFolder folder;
  std::string log;
  ups_console_capture(&log, true);
  EXPECT_EQ(sport_open("COM250", 2400), -1);
  EXPECT_EQ(sport_probe("COM250"), -1);
  ups_console_capture(nullptr);
  EXPECT_EQ(log, "sport ( COM250 ) open ..... Failed\n");
}

void make_entry(const std::string& root, const std::string& name, bool device, const char* type) {
  std::string dir = root + "/" + name;
  ASSERT_EQ(dir_create(dir.c_str()), 0);
  if (device) {
    ASSERT_EQ(dir_create((dir + "/device").c_str()), 0);
  }
  if (type) {
    ASSERT_TRUE(kvtest::write_file(dir + "/type", type));
  }
}

// Linux: real serial devices from a /sys/class/tty-like tree, in natural
// order, without opening anything.
TEST(SerialPort, SysfsListing) {
  if (sport_system_root()[0] != '/') GTEST_SKIP() << "this system lists ports in its registry";
  kvtest::TempProgramFolder folder;
  std::string root = folder.path() + "/tty";
  ASSERT_EQ(dir_create(root.c_str()), 0);
  make_entry(root, "ttyS0", true, "4\n");
  make_entry(root, "ttyS1", true, "0\n");  // no UART behind it
  make_entry(root, "ttyS10", true, "4\n");
  make_entry(root, "ttyS2", true, "4\n");
  make_entry(root, "ttyUSB0", true, nullptr);
  make_entry(root, "ttyACM0", true, nullptr);
  make_entry(root, "ttyAMA0", true, "32\n");
  make_entry(root, "tty1", false, nullptr);  // virtual console
  make_entry(root, "ptmx", false, nullptr);
  PortName names[16];
  int n = sport_list_system(names, root.c_str());
  std::vector<std::string> got;
  for (int i = 0; i < n; ++i) got.push_back(names[i].text);
  const std::vector<std::string> expected = {"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS0",
                                             "/dev/ttyS2",   "/dev/ttyS10",  "/dev/ttyUSB0"};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(sport_list_system(std::span<PortName>(names, 2), root.c_str()), 2);
  EXPECT_STREQ(names[1].text, "/dev/ttyAMA0");
  EXPECT_EQ(sport_list_system(names, (root + "/missing").c_str()), 0);
}

}  // namespace
