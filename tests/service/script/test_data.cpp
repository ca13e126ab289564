// The data families: numbers, splitting, JSON, profiles, passwords,
// registers, time and network.
#include <string>

#include "service/core/profile.h"
#include "service/net/netinfo.h"
#include "tests/service/script/script_fixture.h"

namespace {

struct Case {
  const char* text;
  const char* output;
};

const Case kNumbers[] = {
    {"trim \"  a b \t\r\n\"", "a b"},
    {"trim \" \"", ""},
    {"to_HEX 255", "FF"},
    {"to_hex 255", "ff"},
    {"to_HEX -1", "FFFFFFFF"},
    {"to_HEX 0", "0"},
    {"to_HEX 0x1f", "1F"},
    {"to_bin 5", "00000000000000000000000000000101"},
    {"to_bin -1", "11111111111111111111111111111111"},
    {"parse_hex ff", "255"},
    {"parse_hex FFFFFFFF", "-1"},
    {"parse_hex 0x10", "0"},
    {"parse_hex 1g", "1"},
    {"parse_bin 101", "5"},
    {"parse_bin 1012", "5"},
    {"parse_bin x", "0"},
    {"to_HEX", ""},
    {"to_HEX 1 2", ""},
};

const Case kSplit[] = {
    {"split a,b,,c , arr; echo $arr[0]:$arr[1]:$arr[2]:$arr[3]:$arr[4]", "4:a:b::c"},
    {"split \"a\\tb  c\" \" \" w; echo $w[0]:$w[1]:$w[2]:$w[3]", "3:a:b:c"},
    {"split \" x , y \" , p; i = 2; echo $p[1]-$$p[$i]", "x-y"},
    {"split \"\" , q; echo [$q[0]]", "[]"},
    {"split a \"\" q; echo [$q[0]]", "[]"},
    {"replace aa b aaaa", "bb"},
    {"replace a \"\" x", ""},
    {"replace ab xyz cabcab", "cxyzcxyz"},
    {"replace zz y abc", "abc"},
    {"cut_before c abc", "ab"},
    {"cut_before a abc", ""},
    {"cut_before z abc", ""},
    {"cut_after c abc", ""},
    {"cut_after b abc", "c"},
    {"cut_after bc abcbc", "bc"},
    {"cut_after \"\" abc", ""},
};

const Case kJson[] = {
    {"json #{\"a\":{\"b\":[1,\"xy\"]}}# a b 1", "xy"},
    {"json #{\"a\":{\"b\":[1,\"xy\"]}}# a b 0", "1"},
    {"json #{\"a\":{\"b\":[1,\"xy\"]}}# a b", "[1,\"xy\"]"},
    {"json #{\"a\":1}# z", ""},
    {"json #{\"a\":\"\"}# a", ""},
    {"json #{\"a\":\"l1\\\\nl2\\\\\"q\"}# a", "l1\nl2\"q"},
    {"json #{\"a\":1# a", ""},
    {"json \"\" a", ""},
    {"json_compact #{ \"a\" : [ 1 , 2 , ] }#", "{\"a\":[1,2]}"},
    {"json_compact #nope#", ""},
    {"json_check #[1,2]#", "5"},
    {"json_check #[1,2#", ""},
    {"json_split , a,b", "[\"a\",\"b\"]"},
    {"json_split , \"\"", ""},
    {"json_count #[1,[2,3],\"x\"]#", "3"},
    {"json_count #[]#", "0"},
    {"json_count #{\"a\":1}#", "0"},
    {"json_add {} #\"k\":1#", "{\"k\":1}"},
    {"json_add #{\"a\":1,}# #\"k\":2#", "{\"a\":1,\"k\":2}"},
    {"json_add #{\"a\":1 , \n}# #\"k\":2#", "{\"a\":1,\"k\":2}"},
    {"json_add \"\" #\"k\":3#", "{\"k\":3}"},
    {"json_add nobrace #\"k\":3#", ""},
    {"json_del #{\"a\":1,\"b\":2}# a", "{\"b\":2}"},
    {"json_del #{\"a\":1,\"b\":2}# b", "{\"a\":1}"},
    {"json_del \"\" a", ""},
    {"json_seq_add \"\" 5", "[5]"},
    {"json_seq_add #[1,2]# 3", "[1,2,3]"},
    {"json_seq_ins #[1,2]# 0", "[0,1,2]"},
    {"json_seq_ins nope 0", "[0]"},
    {"json_seq_del #[1,2,3]# 1", "[1,3]"},
    {"json_seq_del #[1,2,3]# 9", "[1,2,3]"},
    {"json_seq_del #[1]# 0", ""},
    {"json_set_contain #[\"a\",\"b\"]# b", "true"},
    {"json_set_contain #[\"a\",\"b\"]# c", "false"},
    {"json_set_contain #[1,\"2\"]# 2", "true"},
    {"json_set_contain \"\" a", "false"},
    {"json_set_del #[\"a\",1,\"a\",2]# a", "[1,2]"},
    {"json_set_del #[\"a\",1]# 1", "[\"a\"]"},
    {"json_set_del #[\"a\"]# a", ""},
    {"json_set_cmp #[1,2]# #[2,1]#", ""},
    {"json_set_cmp #[1,\"2\"]# #[\"1\",2]#", ""},
    {"json_set_cmp #[1,2]# #[1,3]#", "1"},
    {"json_set_cmp #[1,2]# #[1]#", "1"},
    {"json_set_cmp #[]# \"\"", ""},
};

const Case kPasswords[] = {
    {"md5 \"\"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"md5 abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"md5 \"message digest\"", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"md5 abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"sha \"\"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"sha abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"sha abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"md5_pass 900150983CD24FB0D6963F7D28E17F72", "900150983CD24FB0D6963F7D28E17F72"},
    {"md5_pass abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"md5_pass abc > h; md5_pass $h", "900150983cd24fb0d6963f7d28e17f72"},
    {"sha_pass abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"sha_pass A9993E364706816ABA3E25717850C26C9CD0D89D", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
    {"p = secret; sha_pass $p > stored; cmp_pass $p $stored", ""},
    {"sha_pass secret > stored; cmp_pass #$stored# secret", ""},
    {"cmp_pass one two", "1"},
    {"cmp_pass same same", ""},
    {"cmp_pass A9993E364706816ABA3E25717850C26C9CD0D89D abc", ""},
};

const Case kRegisters[] = {
    {"get_register 16", ""},
    {"get_register -1", ""},
    {"get_register 9", "0"},
    {"set_register 11 -5; get_register 11", "-5"},
    {"set_register 12 0x10; get_register 12", "16"},
    {"set_register 16 1; get_register 16", ""},
    {"set_register \"\" 1; get_register \"\"", ""},
};

class DataTest : public ScriptTest {
 protected:
  void table(const Case* cases, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(run(cases[i].text), cases[i].output) << cases[i].text;
      EXPECT_EQ(error(), "") << cases[i].text;
      script_store_create(kScriptPageStore);
    }
  }
};

TEST_F(DataTest, NumberTable) { table(kNumbers, std::size(kNumbers)); }
TEST_F(DataTest, SplitTable) { table(kSplit, std::size(kSplit)); }
TEST_F(DataTest, JsonTable) { table(kJson, std::size(kJson)); }
TEST_F(DataTest, PasswordTable) { table(kPasswords, std::size(kPasswords)); }
TEST_F(DataTest, RegisterTable) { table(kRegisters, std::size(kRegisters)); }

TEST_F(DataTest, RegistersOutliveTheStore) {
  run("set_register 13 42");
  script_store_release();
  ASSERT_EQ(script_store_create(kScriptPageStore), 0);
  EXPECT_EQ(run("get_register 13"), "42");
}

TEST_F(DataTest, JsonPathLongerThan127BytesGivesNothing) {
  const std::string key(130, 'k');
  script_set_var("doc", ("{\"" + key + "\":1}").c_str());
  EXPECT_EQ(run("json $doc " + key), "");
  EXPECT_EQ(error(), "");
}

TEST_F(DataTest, JsonValueLargerThanTheOutputIsAnError) {
  script_set_var("doc", ("{\"a\":\"" + std::string(100, 'v') + "\"}").c_str());
  std::vector<char> small(32);
  text_ = "json $doc a";
  script_run(small, "t.ts", text_.c_str(), SCRIPT_FILE);
  EXPECT_EQ(error(), "t.ts ( line 0 ) :\n output too long\n");
}

TEST_F(DataTest, SplitIntoAFullStoreEndsTheRun) {
  ASSERT_EQ(script_store_create(200), 0);
  run("split a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t,u,v,w,x,y,z , letters");
  EXPECT_EQ(error(), "too may script vars");
}

class ProfileTest : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    ASSERT_TRUE(kvtest::write_file("user/config.inf",
                                   "[master]\nname = UPS ## comment\r\nlanguage=en\r\n\r\n"
                                   "# note\n[email]\nreceiver=alice\r\n\r\n[email_smtp]\nhost=h\r\n\r\n[]\n"));
  }
};

TEST_F(ProfileTest, ProfileCommandTable) {
  const Case cases[] = {
      {"profile_get /user/config.inf [master] name", "UPS"},
      {"profile_get /user/config.inf [master] none", ""},
      {"profile_get /user/config.inf [email]", "receiver=alice\r\n\r\n"},
      {"profile_get /user/config.inf [master]", "name = UPS \nlanguage=en\r\n\r\n"},
      {"profile_get /user/missing.inf [master] name", ""},
      {"profile_get_section_list /user/config.inf", "[\"[master]\",\"[email]\",\"[email_smtp]\"]"},
      {"profile_get_section_list /user/config.inf [email", "[\"[email]\",\"[email_smtp]\"]"},
      {"profile_get_section_list /user/config.inf [x", ""},
      {"profile_get_field_list /user/config.inf [master]", "[\"name\",\"language\"]"},
      {"profile_get_value_list /user/config.inf [master]", "[\"UPS\",\"en\"]"},
      {"profile_get_map_list /user/config.inf [master]", "[[\"name\",\"UPS\"],[\"language\",\"en\"]]"},
      {"profile_get_map_list /user/config.inf [none]", ""},
      {"profile_get_field_list /user/config.inf [none]", ""},
      {"profile_set /user/config.inf [email] receiver bob; profile_get /user/config.inf [email] receiver", "bob"},
      {"profile_set /user/config.inf [email] receiver \"\"; profile_get /user/config.inf [email] receiver", ""},
      {"profile_set /user/config.inf [new] k v; profile_get /user/config.inf [new] k", "v"},
      {"profile_clr /user/config.inf [email] receiver; profile_get_field_list /user/config.inf [email]", ""},
      {"profile_clr /user/config.inf [email_smtp]; profile_get_section_list /user/config.inf [email_",
       ""},
      {"profile_set /user/config.inf [email] #a=1\r\nb=2\r\n#; profile_get_value_list /user/config.inf [email]",
       "[\"1\",\"2\"]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.text), c.output) << c.text;
    EXPECT_EQ(error(), "") << c.text;
    SetUp();
  }
}

TEST_F(DataTest, TimeCommands) {
  kvtest::FakeClock clock(5000, 1700000000);
  EXPECT_EQ(run("time"), "1700000000");
  EXPECT_EQ(run("localtime 1609372800"), "");
  EXPECT_EQ(run("localtime 1609372801"), "2020-12-31 00:00:01");
  EXPECT_EQ(run("localtime"), "2023-11-14 22:13:20");
  EXPECT_EQ(run("TZ = -28800; localtime 1609372801"), "2020-12-31 08:00:01");
  EXPECT_EQ(run("TZ = 3600; localtime 1709251199"), "2024-02-29 22:59:59");
  script_store_create(kScriptPageStore);
  EXPECT_EQ(run("localtime 4102444800"), "2100-01-01 00:00:00");
  script_set_seconds_clock([]() -> int64_t { return 12345; });
  EXPECT_EQ(run("os_time"), "12345");
}

const char* g_ip6 = "2001:db8::1";

int fake_list(std::span<char> out) { return std::snprintf(out.data(), out.size(), "[\"2001:db8::1\",\"fd00::2\"]"); }

int fake_item(int family, const char* item, std::span<char> out) {
  if (family == 6 && std::string_view(item) == "ip") return std::snprintf(out.data(), out.size(), "%s", g_ip6);
  return std::snprintf(out.data(), out.size(), "%s-%d", item, family);
}

const ScriptNetInfo kNet{fake_list, fake_item};

TEST_F(DataTest, NetworkCommandsAskTheInterfaceInformation) {
  // Without a hook the machine's own interface information answers.
  char ip[64];
  interface_info(kFamilyIPv4, "ip", ip);
  EXPECT_EQ(run("if_config ip"), ip);
  script_set_net_info(&kNet);
  EXPECT_EQ(run("ipv6_list"), "[\"2001:db8::1\",\"fd00::2\"]");
  EXPECT_EQ(run("if_config mask"), "mask-4");
  EXPECT_EQ(run("if6_config dns ignored"), "dns-6");
  EXPECT_EQ(run("if_config"), "");
  const Case globals[] = {{"2001:db8::1", "2001:db8::1"}, {"3fff::1", "3fff::1"}, {"fd00::2", ""},
                          {"4000::1", ""},                {"2a0::1", ""},         {"", ""}};
  for (const Case& c : globals) {
    g_ip6 = c.text;
    EXPECT_EQ(run("ipv6"), c.output) << c.text;
  }
}

}  // namespace
