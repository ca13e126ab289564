#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "service/core/json.h"

namespace {

constexpr int kAll = -2;  // expected: the whole text

// An exactly sized NUL-terminated heap copy: any read past the NUL trips
// AddressSanitizer.
std::unique_ptr<char[]> exact_copy(std::string_view text) {
  auto buf = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(buf.get(), text.data(), text.size());
  buf[text.size()] = '\0';
  return buf;
}

struct CheckCase {
  std::string text;
  int expected;
};

TEST(JsonCheck, Table) {
  const CheckCase cases[] = {
      {"{}", 2},
      {"  {}", 4},
      {"\r\n[ ]", 5},
      {"{\"a\":1,}", kAll},  // trailing comma before "}"
      {"{\"a\":}", -1},      // member without value
      {"\"a\"", -1},         // first character a quote
      {"{\"a\":1} tail", 7},
      {"{\"a\":1}}", 7},
      {"[\"a\":1]", -1},
      {"{\"a\" 1}", -1},
      {"{\"a\"::1}", -1},
      {"{,\"a\":1,,\"b\":2,}", kAll},
      {"{\"\":1}", -1},
      {"{\"a\":-}", -1},
      {"{\"a\":1", -1},
      {"{]", -1},
      {"[}", -1},
      {"[[]", -1},
      {"x{}", -1},
      {"", -1},
      {"   ", -1},
      {"{\"a\":\"x\\\"}\"}", kAll},
      {"{\"a\\\"b\":1}", kAll},
      {"{\"a\":\"x}", -1},
      {"{\"a\":nul}", -1},
      {"{\"a\":truex}", -1},
      {"{\"a\":1.2.3,\"b\":-4}", kAll},
      {"{\"a\":[1,,2],\"b\":{}}", kAll},
      {"{ \"a\" : \"b\" }", kAll},
      {"{\"a\":1 \"b\":2}", -1},
      {"[1,{\"k\":[true,false,null]}]", kAll},
      {"[,]", kAll},
      {"{\"a\":\"\xC3\xA9\"}", kAll},
      {"{\"a\":\"\xC3\"}", -1},  // not UTF-8
      {"{\"a\":1}\xFF", -1},     // the whole range must be UTF-8
  };
  for (const auto& c : cases) {
    auto buf = exact_copy(c.text);
    int expected = c.expected == kAll ? static_cast<int>(c.text.size()) : c.expected;
    EXPECT_EQ(json_check(buf.get(), static_cast<int>(c.text.size())), expected) << c.text;
  }
}

TEST(JsonCheck, LengthBoundsTheScan) {
  EXPECT_EQ(json_check("{}x", 2), 2);
  EXPECT_EQ(json_check("{}", 1), -1);
  EXPECT_EQ(json_check("{}", -1), -1);
  EXPECT_EQ(json_check(nullptr, 0), -1);
  std::string with_nul("{\"a\":\0}", 7);
  EXPECT_EQ(json_check(with_nul.data(), 7), -1);
}

TEST(JsonCheck, DepthLimit) {
  std::string ok = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  EXPECT_EQ(json_check(ok.c_str(), static_cast<int>(ok.size())), static_cast<int>(ok.size()));
  EXPECT_NE(json_skip_array(ok.c_str()), nullptr);
  std::string deep = std::string(kJsonMaxDepth + 1, '[') + std::string(kJsonMaxDepth + 1, ']');
  EXPECT_EQ(json_check(deep.c_str(), static_cast<int>(deep.size())), -1);
  EXPECT_EQ(json_skip_array(deep.c_str()), nullptr);
  // Hostile nesting costs no call stack.
  std::string hostile(200000, '[');
  EXPECT_EQ(json_skip_value(hostile.c_str()), nullptr);
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_EQ(json_skip_value(objects.c_str()), nullptr);
  char out[16];
  EXPECT_EQ(json_get(objects.c_str(), "b", out), -1);
}

struct ScalarCase {
  std::string text;
  int end;  // offset after the scalar, -1 for nullptr
};

TEST(JsonSkipScalar, Table) {
  const ScalarCase cases[] = {
      {"\"ab\\\"c\"x", 7}, {"null,", 4}, {"true", 4}, {"false]", 5}, {"-1.5e3", 4}, {"007", 3},
      {"-", -1},           {"x", -1},    {"\"abc", -1}, {"\"ab\\", -1}, {"", -1},     {"{}", -1},
  };
  for (const auto& c : cases) {
    auto buf = exact_copy(c.text);
    const char* end = json_skip_scalar(buf.get());
    EXPECT_EQ(end ? end - buf.get() : -1, c.end) << c.text;
  }
}

struct ValueCase {
  std::string text;
  int capacity;
  int result;
  std::string out;
};

TEST(JsonValue, DecodesStringsAndCopiesOthersRaw) {
  const ValueCase cases[] = {
      {"\"a\\\"b\\nc\"", 64, 5, "a\"b\nc"},
      {"\"\\t\\r\\/\\\\\\u0041\"", 64, 9, "\t\r/\\u0041"},
      {"\"\"", 64, 0, ""},
      {"12.5,", 64, 4, "12.5"},
      {"true}", 64, 4, "true"},
      {"-7 ", 64, 2, "-7"},
      {"{\"a\": [1, 2]} ,", 64, 13, "{\"a\": [1, 2]}"},
      {"\"abcd\"", 5, 4, "abcd"},
      {"\"abcd\"", 4, 5, ""},  // decoded upper bound: raw length - 1
      {"1234", 5, 4, "1234"},
      {"1234", 4, 5, ""},      // raw length + 1
      {"\"unterminated", 64, -1, ""},
      {"{\"a\":", 64, -1, ""},
  };
  for (const auto& c : cases) {
    auto buf = exact_copy(c.text);
    std::vector<char> out(static_cast<size_t>(c.capacity) + 1, '#');
    std::span<char> span(out.data(), static_cast<size_t>(c.capacity));
    EXPECT_EQ(json_value(buf.get(), span), c.result) << c.text;
    EXPECT_EQ(std::string(out.data()), c.out) << c.text;
    EXPECT_EQ(out.back(), '#') << "wrote past the buffer: " << c.text;
  }
}

TEST(JsonRawValue, KeepsQuotesAndReportsSize) {
  char out[kJsonRawCapacity];
  EXPECT_EQ(json_raw_value("\"a\\\"b\" ,", out), 6);
  EXPECT_STREQ(out, "\"a\\\"b\"");
  EXPECT_EQ(json_raw_value("null ]", out), 4);
  EXPECT_STREQ(out, "null");
  EXPECT_EQ(json_raw_value("[1, [2]]x", out), 8);
  EXPECT_STREQ(out, "[1, [2]]");
  char small[5];
  EXPECT_EQ(json_raw_value("12345", small), 6);
  EXPECT_STREQ(small, "");
  std::string big(kJsonRawCapacity + 2, 'x');
  big.front() = big.back() = '"';
  EXPECT_EQ(json_raw_value(big.c_str(), out), kJsonRawCapacity + 3);
}

TEST(JsonKeyAt, KeysAndOffsets) {
  const char* text = " {\"a\":1, \"b\":{\"c\":2},,\"d\\\"e\":[3]}";
  char key[kJsonKeyCapacity];
  EXPECT_EQ(json_key_at(text, 0, key), 1);
  EXPECT_STREQ(key, "a");
  EXPECT_EQ(json_key_at(text, 1, key), 1);
  EXPECT_STREQ(key, "b");
  EXPECT_EQ(json_key_at(text, 2, key), 3);
  EXPECT_STREQ(key, "d\"e");
  EXPECT_EQ(json_key_at(text, 3, key), -1);
  EXPECT_EQ(json_key_at(text, -1, key), -1);
  EXPECT_EQ(json_key_at(text, 0, {}), 2);
  EXPECT_EQ(json_key_at(text, 1, {}), static_cast<int>(std::strstr(text, "\"b\"") - text));
  EXPECT_EQ(json_key_at("[1]", 0, key), -1);
  EXPECT_EQ(json_key_at("{}", 0, key), -1);
}

TEST(JsonGet, FirstMatchingMember) {
  const char* text = "{\"a\":1,\"b\":\"x\",\"a\":2,\"n\":{\"a\":3}}";
  char out[64];
  EXPECT_EQ(json_get(text, "a", out), 1);
  EXPECT_STREQ(out, "1");
  EXPECT_EQ(json_get(text, "b", out), 1);
  EXPECT_STREQ(out, "x");
  EXPECT_EQ(json_get(text, "n", out), 7);
  EXPECT_STREQ(out, "{\"a\":3}");
  EXPECT_EQ(json_get(text, "c", out), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(json_get(text, "b", {}), static_cast<int>(std::strstr(text, "\"x\"") - text));
  EXPECT_EQ(json_get("{\"a\\\"b\":1}", "a\"b", out), 1);
  EXPECT_EQ(json_get("[1]", "a", out), -1);
  EXPECT_EQ(json_get(" {\"a\" = 5}", "a", out), 1);  // the separator is not examined
  EXPECT_STREQ(out, "5");
}

TEST(JsonGet, KeysOf128BytesNeverMatch) {
  std::string k127(127, 'k');
  std::string k128(128, 'k');
  std::string text = "{\"" + k127 + "\":1,\"" + k128 + "\":2}";
  char out[8];
  EXPECT_EQ(json_get(text.c_str(), k127.c_str(), out), 1);
  EXPECT_STREQ(out, "1");
  EXPECT_EQ(json_get(text.c_str(), k128.c_str(), out), -1);
}

TEST(JsonAt, ElementsRawAndDecoded) {
  const char* text = "[1, \"two\" ,, {\"x\":[3]}, \"\\\"q\\\"\"]";
  char out[64];
  EXPECT_EQ(json_raw_at(text, 0, out), 1);
  EXPECT_STREQ(out, "1");
  EXPECT_EQ(json_raw_at(text, 1, out), 5);
  EXPECT_STREQ(out, "\"two\"");
  EXPECT_EQ(json_at(text, 1, out), 3);
  EXPECT_STREQ(out, "two");
  EXPECT_EQ(json_raw_at(text, 2, out), 9);  // the extra comma is no element
  EXPECT_STREQ(out, "{\"x\":[3]}");
  EXPECT_EQ(json_at(text, 3, out), 3);
  EXPECT_STREQ(out, "\"q\"");
  EXPECT_EQ(json_raw_at(text, 4, out), -1);
  EXPECT_EQ(json_at(text, -1, out), -1);
  EXPECT_EQ(json_raw_at(text, 2, {}), static_cast<int>(std::strchr(text, '{') - text));
  EXPECT_EQ(json_at("{\"a\":1}", 0, out), -1);
  EXPECT_EQ(json_at("[]", 0, out), -1);
}

struct PathCase {
  const char* path;
  int result;
  const char* out;
};

TEST(JsonPath, Table) {
  const char* doc = " {\"a\":{\"b\":[10,{\"c\":\"deep\"}]},\"arr\":[1,2],\"s\":\"str\"}";
  const PathCase cases[] = {
      {"a,b,1,c", 4, "deep"},
      {"a,b,0", 2, "10"},
      {" a , b , 0 ", 2, "10"},
      {"arr,x1", -1, ""},  // an array step must be digits
      {"arr,2", -1, ""},   // beyond a two-element array
      {"arr,1", 1, "2"},
      {"arr,-1", -1, ""},
      {"arr,99999999999", -1, ""},
      {"s,0", -1, ""},
      {"zz", -1, ""},
      {"s", 3, "str"},
  };
  for (const auto& c : cases) {
    char out[128];
    EXPECT_EQ(json_path(doc, c.path, out), c.result) << c.path;
    EXPECT_STREQ(out, c.out) << c.path;
  }
  char out[128];
  EXPECT_EQ(json_path(doc, "", out), static_cast<int>(std::strlen(doc)) - 1);  // the root, raw
  EXPECT_STREQ(out, doc + 1);
  EXPECT_EQ(json_path(doc, nullptr, out), static_cast<int>(std::strlen(doc)) - 1);
  EXPECT_EQ(json_path(doc, "arr,1", {}), static_cast<int>(std::strstr(doc, "2]") - doc));
  EXPECT_EQ(json_path(doc, "", {}), 1);
  char small[2];
  EXPECT_EQ(json_path(doc, "a,b,1,c", small), 5);  // the size needed
  EXPECT_STREQ(small, "");
  EXPECT_EQ(json_path("{\"a\":}", "a", out), 0);  // no valid document
  EXPECT_EQ(json_path("\"a\"", "", out), 0);
}

struct RemoveCase {
  const char* text;
  const char* key;
  const char* result;
};

TEST(JsonRemove, Table) {
  const RemoveCase cases[] = {
      {"{\"a\":1,\"b\":2}", "b", "{\"a\":1}"},  // no comma before the brace
      {"{\"a\":1,\"b\":2}", "a", "{\"b\":2}"},
      {"{\"a\":1,\"b\":2,\"c\":3}", "b", "{\"a\":1,\"c\":3}"},
      {"{\"a\":1}", "a", "{}"},
      {"{ \"a\": 1, \"b\": [1,2] }\n", "b", "{ \"a\": 1}"},
      {"{ \"a\": 1, \"b\": 2 }", "a", "{\"b\": 2}"},
      {"{\"a\":1,\"a\":2}", "a", "{\"a\":2}"},
      {"{\"a\":1,,\"b\":2}", "a", "{\"b\":2}"},
      {"  {\"a\":1}", "a", "  {}"},
      {"{\"a\":1}", "x", "{\"a\":1}"},
      {"{\"a\":{\"x\":1},\"b\":2}", "x", "{\"a\":{\"x\":1},\"b\":2}"},
      {"[1,2]", "a", "[1,2]"},
      {"{\"a\":1", "a", "{\"a\":1"},  // malformed: left alone
      {"", "a", ""},
  };
  for (const auto& c : cases) {
    std::string buf = c.text;
    int n = json_remove(buf.data(), c.key);
    EXPECT_STREQ(buf.c_str(), c.result) << c.text << " - " << c.key;
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.result))) << c.text;
  }
}

struct CompactCase {
  const char* text;
  const char* result;
};

TEST(JsonCompact, Table) {
  const CompactCase cases[] = {
      {" { \"a\" : [ 1 , 2 ] ,\r\n \"b\" : \"x y\" } ", "{\"a\":[1,2],\"b\":\"x y\"}"},
      {"{\"a\":1,}", "{\"a\":1}"},
      {"[1,2,]", "[1,2]"},
      {"[1, ,]", "[1]"},
      {"{\"a\":1,,\"b\":2}", "{\"a\":1,\"b\":2}"},
      {"[1,,2]", "[1,,2]"},  // only doubled commas inside objects become one
      {"{\"s\":\"a , }\\\" \"}", "{\"s\":\"a , }\\\" \"}"},
      {"{\"a\":1} trailing", "{\"a\":1}"},
      {"{\"a\":[{\"b\":1,},],}", "{\"a\":[{\"b\":1}]}"},
      {"{\"a\":}", ""},
      {"nope", ""},
  };
  for (const auto& c : cases) {
    char out[128] = "garbage";
    EXPECT_EQ(json_compact(c.text, out), static_cast<int>(std::strlen(c.result))) << c.text;
    EXPECT_STREQ(out, c.result) << c.text;
  }
}

TEST(JsonCompact, InPlaceAndTooSmall) {
  char buf[] = " [ 1 , \"a b\" , ] ";
  EXPECT_EQ(json_compact(buf, buf), 9);
  EXPECT_STREQ(buf, "[1,\"a b\"]");
  char small[5];
  EXPECT_EQ(json_compact("[1,2]", small), 0);
  EXPECT_STREQ(small, "");
  char fits[6];
  EXPECT_EQ(json_compact("[1,2]", fits), 5);
  // A bare pointer is trusted to hold strlen(source) + 1 bytes.
  std::string room(8, '#');
  char* bare = room.data();
  EXPECT_EQ(json_compact(" [ 1 ] ", bare), 3);
  EXPECT_STREQ(bare, "[1]");
}

// Every prefix of a set of documents, each in an exactly sized buffer: no
// function may read past the NUL or write past its output.
TEST(JsonSafety, TruncatedInputsStayInBounds) {
  const std::string docs[] = {
      "{\"a\":[1,{\"b\":\"x\\\"y\"}],\"c\":null,\"d\":true,\"e\":-1.5}",
      "[\"\\\\\",{\"k\":[[],{}]},false]",
      "{\"a\" : \"\\u00e9\\n\" ,, \"b\":{\"c\":[1,2,3]}}",
  };
  for (const auto& doc : docs) {
    for (size_t len = 0; len <= doc.size(); ++len) {
      auto buf = exact_copy(doc.substr(0, len));
      const char* p = buf.get();
      bool whole = len == doc.size();
      // Guard bytes after each output catch writes past its end.
      char out[17];
      std::span<char> span(out, 16);
      out[16] = '#';
      EXPECT_EQ(json_check(p, static_cast<int>(len)), whole ? static_cast<int>(len) : -1) << len;
      EXPECT_EQ(json_skip_value(p) != nullptr, whole) << len;
      json_raw_value(p, span);
      json_value(p, span);
      json_key_at(p, 1, span);
      json_get(p, "b", span);
      json_raw_at(p, 1, span);
      json_at(p, 2, span);
      json_path(p, "a,1,b", span);
      json_compact(p, span);
      EXPECT_EQ(out[16], '#') << len;
      std::string dest(len + 1, '#');
      EXPECT_EQ(json_compact(p, dest) > 0, whole) << len;
      EXPECT_LE(json_remove(buf.get(), "a"), static_cast<int>(len)) << len;
    }
  }
}

TEST(JsonSafety, RemovedTextStaysValid) {
  std::string doc = "{ \"a\":1 ,\"b\": {\"x\":[1,2]} ,, \"c\":\"s\" , }";
  for (const char* key : {"a", "b", "c"}) {
    std::string buf = doc;
    int n = json_remove(buf.data(), key);
    EXPECT_EQ(json_check(buf.c_str(), n), n) << key << ": " << buf;
    char out[8];
    EXPECT_EQ(json_get(buf.c_str(), key, out), -1) << key;
  }
}

}  // namespace
