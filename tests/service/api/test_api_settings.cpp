// The settings items: "set" with its conditions, capacities and files,
// and the wireless items with and without the module's state files.
#include <gtest/gtest.h>

#include <string>

#include "tests/service/api/api_fixture.h"

namespace {

using apitest::ApiTest;

class SettingsTest : public ApiTest {
 protected:
  std::string set(const std::string& members, int user = kApiAdmin) { return ask("{\"set\":{" + members + "}}", user); }
  std::string file() { return kvtest::read_file("user/config.inf"); }
};

constexpr const char* kTrue = "{\"return\":[true]}";
constexpr const char* kFalse = "{\"return\":[false]}";

TEST_F(SettingsTest, EmptyNameFallsBackToTheDefaultName) {
  EXPECT_EQ(set("\"name\":\"-z\""), kTrue);
  EXPECT_EQ(profile_get("user/config.inf", "[master]", "name"), "");
  EXPECT_EQ(file().find("name="), std::string::npos) << file();
  EXPECT_EQ(ask("@get_name"), "Kelvane UPS");
  EXPECT_EQ(set("\"name\":\"Server 2\""), kTrue);
  EXPECT_EQ(config("[master]", "name"), "Server 2");
  EXPECT_EQ(ask("{\"get\":[\"name\"]}"), "{\"return\":[\"Server 2\"]}");
  EXPECT_EQ(set("\"name\":\"\""), kTrue);
  EXPECT_EQ(ask("@get_name"), "Kelvane UPS");
}

TEST_F(SettingsTest, NameAndRemarkOfAtMost120Bytes) {
  const std::string before = file();
  EXPECT_EQ(set("\"name\":\"" + std::string(121, 'n') + "\""), kFalse);
  EXPECT_EQ(set("\"remark\":\"" + std::string(121, 'r') + "\""), kFalse);
  EXPECT_EQ(file(), before);
  EXPECT_EQ(ask("@get_name"), "UPS-Room-1");
  EXPECT_EQ(set("\"name\":\"" + std::string(120, 'n') + "\",\"remark\":\"" + std::string(120, 'r') + "\""),
            "{\"return\":[true,true]}");
  EXPECT_EQ(config("[master]", "name"), std::string(120, 'n'));
  EXPECT_EQ(config("[master]", "remark"), std::string(120, 'r'));
  EXPECT_EQ(ask("@get_name"), std::string(120, 'n'));
  EXPECT_EQ(ask("{\"get\":[\"ident\"]}"),
            "{\"return\":[[\"stk0\",\"A500\",\"v3\",\"norvel\",\"" + std::string(120, 'n') + "\",\"" +
                std::string(120, 'r') + "\"]]}");
}

TEST_F(SettingsTest, ValuesTheConfigurationCannotHoldAreRefused) {
  const std::string before = file();
  // A line break would end the key; "##" starts a comment; both would
  // come back cut at the next start.
  const char* refused[] = {"\"name\":\"a\\nb\"", "\"remark\":\"a\\rb\"", "\"name\":\"a##b\"", "\"pass\":\" lead\"",
                           "\"pass\":\"x##\"", "\"pass\":\"" "0123456789012345678901234567890123456789012345678901234567890123" "\""};
  for (const char* r : refused) EXPECT_EQ(set(r), kFalse) << r;
  EXPECT_EQ(file(), before);
  EXPECT_EQ(ask("@get_pass"), "secret");
  EXPECT_EQ(ask("@get_name"), "UPS-Room-1");
  // Blanks around a name go, as they would when the file is read.
  EXPECT_EQ(set("\"name\":\"  Server \\\"7\\\"  \""), kTrue);
  EXPECT_EQ(config("[master]", "name"), "Server \"7\"");
  EXPECT_EQ(ask("{\"get\":[\"name\"]}"), "{\"return\":[\"Server \\\"7\\\"\"]}");
}

TEST_F(SettingsTest, PasswordOfTheAdministrator) {
  const std::string pass63(63, 'p');
  EXPECT_EQ(set("\"pass\":\"" + pass63 + "\""), kTrue);
  EXPECT_EQ(config("[passwd]", "pass1"), pass63);
  EXPECT_EQ(ask("@get_pass"), pass63);
  EXPECT_EQ(set("\"pass\":\"n3w pass\""), kTrue);
  EXPECT_EQ(config("[passwd]", "pass1"), "n3w pass");
  EXPECT_EQ(ask("@get_pass"), "n3w pass");
  EXPECT_EQ(set("\"pass\":\"-z\""), kTrue);
  EXPECT_EQ(config("[passwd]", "pass1"), "");
  EXPECT_EQ(ask("@get_pass"), "");
}

TEST_F(SettingsTest, OnlyTheAdministratorChangesIdentityAndNetwork) {
  kvtest::write_file("tmp/wifi_config", "1");
  kvtest::write_file("tmp/ap_config", "1");
  kvtest::write_file("user/config.inf", file() + "\n[network]\nip=10.0.0.5\n");
  const std::string before = file();
  EXPECT_EQ(set("\"name\":\"x\",\"pass\":\"x\",\"remark\":\"x\",\"ifconfig\":[1],\"wifi\":[\"a\",\"b\"],"
                "\"wifi_ap\":[\"a\",\"b\"],\"email\":[\"s\",\"r\",\"de\"]",
                kApiSecondUser),
            "{\"return\":[false,false,false,false,false,false,false]}");
  EXPECT_EQ(file(), before);
  // Language and time are for everyone.
  EXPECT_EQ(set("\"language\":\"fr\",\"time\":1", 5), "{\"return\":[true,true]}");
  EXPECT_EQ(config("[master]", "language"), "fr");
}

TEST_F(SettingsTest, Language) {
  EXPECT_EQ(set("\"language\":\"de\",\"time\":1"), "{\"return\":[true,true]}");
  EXPECT_EQ(config("[master]", "language"), "de");
  EXPECT_EQ(ask("@get_language"), "de");
  EXPECT_EQ(set("\"language\":\"zh-TW\""), kTrue);
  EXPECT_EQ(ask("@get_language"), "zh-TW");
  // The code names folders of the web package.
  const std::string before = file();
  const char* refused[] = {"\"language\":\"../x\"", "\"language\":\"\"", "\"language\":\"en\\n\"",
                           "\"language\":\"a/b\"", "\"language\":[\"de\"]"};
  for (const char* r : refused) EXPECT_EQ(set(r), kFalse) << r;
  EXPECT_EQ(file(), before);
  EXPECT_EQ(ask("@get_language"), "zh-TW");
}

TEST_F(SettingsTest, SameLanguageWritesNothing) {
  file_delete("user/config.inf");
  // The file is gone; an unchanged language must not bring it back.
  EXPECT_EQ(set("\"language\":\"en\""), kTrue);
  EXPECT_EQ(path_kind("user/config.inf"), 0);
}

TEST_F(SettingsTest, NetworkConfiguration) {
  // Automatic: the section goes and the interface answers.
  kvtest::write_file("user/config.inf", file() + "\n[network]\nip=10.0.0.5\nmask=255.0.0.0\n");
  EXPECT_EQ(set("\"ifconfig\":[1]"), kTrue);
  EXPECT_EQ(file().find("[network]"), std::string::npos) << file();
  const std::string automatic =
      "{\"return\":[[1,\"192.168.1.20\",\"255.255.255.0\",\"192.168.1.1\",\"192.168.1.53\",\"00:1A:2B:3C:4D:20\"]]}";
  EXPECT_EQ(ask("{\"get\":[\"ifconfig\"]}"), automatic);

  // A fixed address with too few values writes nothing, and says so not.
  const std::string before = file();
  EXPECT_EQ(set("\"ifconfig\":[0,\"10.0.0.5\",\"255.0.0.0\"]"), kTrue);
  EXPECT_EQ(file(), before);

  EXPECT_EQ(set("\"ifconfig\":[0,\"10.0.0.5\",\"255.0.0.0\",\"10.0.0.1\",\"10.0.0.53\"]"), kTrue);
  EXPECT_EQ(ask("{\"get\":[\"ifconfig\"]}"),
            "{\"return\":[[0,\"10.0.0.5\",\"255.0.0.0\",\"10.0.0.1\",\"10.0.0.53\",\"00:1A:2B:3C:4D:20\"]]}");

  // Mode "0x0" is 0; a value that is no array, an empty mode, or mode 1
  // each mean automatic.
  const char* automatic_forms[] = {"\"ifconfig\":\"auto\"", "\"ifconfig\":[\"\",\"1.2.3.4\"]", "\"ifconfig\":[]",
                                   "\"ifconfig\":[\"1\"]"};
  for (const char* form : automatic_forms) {
    EXPECT_EQ(set("\"ifconfig\":[\"0x0\",\"1.2.3.4\",\"255.0.0.0\",\"1.2.3.1\",\"1.2.3.53\"]"), kTrue);
    EXPECT_EQ(config("[network]", "ip"), "1.2.3.4");
    EXPECT_EQ(set(form), kTrue) << form;
    EXPECT_EQ(config("[network]", "ip"), "") << form;
  }

  // A value the file cannot hold, or longer than 127 bytes, writes nothing.
  EXPECT_EQ(set("\"ifconfig\":[0,\"1.2.3.4\",\"255.0.0.0\",\"1.2.3.1\",\"1.2.3\\n.53\"]"), kFalse);
  EXPECT_EQ(set("\"ifconfig\":[0,\"1.2.3.4\",\"" + std::string(128, '1') + "\",\"1.2.3.1\",\"1.2.3.53\"]"), kFalse);
  EXPECT_EQ(ask("{\"get\":[\"ifconfig\"]}"), automatic);
}

TEST_F(SettingsTest, Mail) {
  EXPECT_EQ(set("\"email\":[\"Alarm \\\"1\\\"\",\"ops@example.org;b@example.org\",\"de\"]"), kTrue);
  EXPECT_EQ(ask("{\"get\":[\"email\"]}"),
            "{\"return\":[[\"Alarm \\\"1\\\"\",\"ops@example.org;b@example.org\",\"de\"]]}");
  // An empty language leaves the stored one.
  EXPECT_EQ(set("\"email\":[\"s\",\"r@example.org\",\"\"]"), kTrue);
  EXPECT_EQ(set("\"email\":[\"s2\",\"r@example.org\"]"), kTrue);
  EXPECT_EQ(ask("{\"get\":[\"email\"]}"), "{\"return\":[[\"s2\",\"r@example.org\",\"de\"]]}");
  // Capacities: subject 63 bytes, receiver 511, language 15.
  const std::string before = file();
  EXPECT_EQ(set("\"email\":[\"" + std::string(64, 's') + "\",\"r\",\"de\"]"), kFalse);
  EXPECT_EQ(set("\"email\":[\"s\",\"" + std::string(512, 'r') + "\",\"de\"]"), kFalse);
  EXPECT_EQ(set("\"email\":[\"s\",\"r\",\"" + std::string(16, 'd') + "\"]"), kFalse);
  EXPECT_EQ(set("\"email\":[\"s\",\"r\",\"../de\"]"), kFalse);
  EXPECT_EQ(set("\"email\":[\"s\"]"), kFalse);
  EXPECT_EQ(set("\"email\":\"s\""), kFalse);
  EXPECT_EQ(file(), before);
  EXPECT_EQ(set("\"email\":[\"" + std::string(63, 's') + "\",\"" + std::string(511, 'r') + "\",\"" +
                std::string(15, 'd') + "\"]"),
            kTrue);
  EXPECT_EQ(config("[email]", "receiver"), std::string(511, 'r'));
}

TEST_F(SettingsTest, UnknownKeysAnswerFalseInTheirPlace) {
  EXPECT_EQ(set("\"nosuch\":1,\"time\":1,\"" + std::string(128, 'k') + "\":3,\"" + std::string(127, 'k') + "\":4"),
            "{\"return\":[false,true,false,false]}");
}

TEST_F(SettingsTest, WirelessWithoutStateFiles) {
  const std::string before = file();
  EXPECT_EQ(ask("{\"get\":[\"wifi\",\"wifi_ap\"]}"), "{\"return\":[false,false]}");
  EXPECT_EQ(set("\"wifi\":[\"net\",\"pw\"],\"wifi_ap\":[\"ap\",\"pw\"]"), "{\"return\":[false,false]}");
  EXPECT_EQ(file(), before);
  // An access-point mode alone is no wireless module.
  kvtest::write_file("tmp/ap_config", "1");
  EXPECT_EQ(ask("{\"get\":[\"wifi_ap\"]}"), kFalse);
}

TEST_F(SettingsTest, WirelessModule) {
  kvtest::write_file("tmp/wifi_config", "1");
  kvtest::write_file("tmp/wifi_ap_list", "home; office \"2\" ;;guest;");
  EXPECT_EQ(ask("{\"get\":[\"wifi\",\"wifi_ap\"]}"), "{\"return\":[[\"\",\"\",[\"home\",\"office \\\"2\\\"\",\"\",\"guest\"]],false]}");
  EXPECT_EQ(set("\"wifi\":[\"net 1\",\"pw ok\"]"), kTrue);
  EXPECT_EQ(config("[wifi]", "ssid"), "net 1");
  EXPECT_EQ(config("[wifi]", "pass"), "pw ok");
  file_delete("tmp/wifi_ap_list");
  EXPECT_EQ(ask("{\"get\":[\"wifi\"]}"), "{\"return\":[[\"net 1\",\"pw ok\",[]]]}");
  // Wireless passwords hold 63 bytes; the ssid 127.
  EXPECT_EQ(set("\"wifi\":[\"net\",\"" + std::string(64, 'p') + "\"]"), kFalse);
  EXPECT_EQ(set("\"wifi\":[\"" + std::string(128, 'n') + "\",\"pw\"]"), kFalse);
  EXPECT_EQ(set("\"wifi\":[\"net\"]"), kFalse);
  EXPECT_EQ(config("[wifi]", "ssid"), "net 1");

  // The access point: named after the serial number unless configured.
  kvtest::write_file("tmp/ap_config", "1");
  kvtest::write_file("tmp/psno", "SN12345678ABCDEF  \r\n");
  EXPECT_EQ(ask("{\"get\":[\"wifi_ap\"]}"), "{\"return\":[[\"norvel-78AB\",\"\"]]}");
  EXPECT_EQ(set("\"wifi_ap\":[\"ignored\",\"ap pw\"]"), kTrue);
  EXPECT_EQ(config("[wifi]", "ap_name"), "");
  EXPECT_EQ(config("[wifi]", "ap_pass"), "ap pw");
  kvtest::write_file("tmp/psno", "SN1234567\n");
  EXPECT_EQ(ask("{\"get\":[\"wifi_ap\"]}"), "{\"return\":[[\"norvel-7\",\"ap pw\"]]}");
  file_delete("tmp/psno");
  EXPECT_EQ(ask("{\"get\":[\"wifi_ap\"]}"), "{\"return\":[[\"norvel-\",\"ap pw\"]]}");
  profile_write_value("user/config.inf", "[wifi]", "ap_name", "Lobby");
  EXPECT_EQ(ask("{\"get\":[\"wifi_ap\"]}"), "{\"return\":[[\"Lobby\",\"ap pw\"]]}");
}

TEST_F(SettingsTest, MissingConfigurationGivesEmptyStrings) {
  file_delete("user/config.inf");
  EXPECT_EQ(ask("{\"get\":[\"email\"]}"), "{\"return\":[[\"\",\"\",\"\"]]}");
  // A write creates the file.
  EXPECT_EQ(set("\"remark\":\"new\""), kTrue);
  EXPECT_EQ(config("[master]", "remark"), "new");
}

}  // namespace
