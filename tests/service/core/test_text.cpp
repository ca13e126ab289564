#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "service/core/text.h"

namespace {

struct IntCase {
  const char* text;
  int32_t expected;
};

TEST(ParseInt, Table) {
  const IntCase cases[] = {
      {"0x1F", 31},           {"0X1f", 31},         {"0xffffffff", -1},  {"0x", 0},
      {"0xG1", 0},            {"-12abc", -12},      {"+7", 7},           {" 5", 0},
      {"230.4", 230},         {"", 0},              {"-", 0},            {"007", 7},
      {"2147483648", INT_MIN}, {"4294967297", 1},   {"-2147483648", INT_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_int(c.text), c.expected) << c.text;
  EXPECT_EQ(parse_int(nullptr), 0);
}

struct FloatCase {
  const char* text;
  float expected;
};

TEST(ParseFloat, Table) {
  const FloatCase cases[] = {
      {"3.5", 3.5f}, {"-0.25", -0.25f}, {"+2", 2.0f},  {"1.2.3", 1.2f}, {"1e5", 1.0f},
      {".5", 0.5f},  {"5.", 5.0f},      {".", 0.0f},   {"abc", 0.0f},   {" 1", 0.0f},
      {"49.0", 49.0f}, {"-", 0.0f},     {"230.4V", 230.4f},
  };
  for (const auto& c : cases) EXPECT_FLOAT_EQ(parse_float(c.text), c.expected) << c.text;
  EXPECT_EQ(parse_float(nullptr), 0.0f);
  std::string huge = "1" + std::string(60, '0');
  EXPECT_TRUE(std::isinf(parse_float(huge.c_str())));
  std::string tiny = "0." + std::string(60, '0') + "1";
  EXPECT_EQ(parse_float(tiny.c_str()), 0.0f);
}

TEST(TextFindLine, OnlyAtLineStarts) {
  EXPECT_EQ(text_find_line("[app]\nx=1\n", "[app]"), 5);
  EXPECT_EQ(text_find_line("x=1\n[app] tail\n", "[app]"), 9);
  EXPECT_EQ(text_find_line("x=[app]\n", "[app]"), -1);
  EXPECT_EQ(text_find_line("[email_smtp]\n[email]\n", "[email]"), 20);
  EXPECT_EQ(text_find_line("ab", "abc"), -1);  // pattern longer than the rest
  EXPECT_EQ(text_find_line("x\n", "x\n"), 2);
  EXPECT_EQ(text_find_line("abc", ""), -1);
}

struct SplitCase {
  const char* text;
  char delimiter;
  std::vector<std::string> items;
};

TEST(TextSplit, Table) {
  const SplitCase cases[] = {
      {"a, b ,,c,", ',', {"a", "b", "", "c"}},
      {"a,,b", ',', {"a", "", "b"}},
      {",a", ',', {"", "a"}},
      {"a,  ,b", ',', {"a", "", "b"}},
      {"a,", ',', {"a"}},
      {"a,  ", ',', {"a"}},
      {"", ',', {}},
      {"   ", ',', {}},
      {"a\tb;c", ';', {"a\tb", "c"}},
      {"(226.0 195.0\t 226.0  014\r", ' ', {"(226.0", "195.0", "226.0", "014"}},
      {"l1\r\n\r\nl2\n", '\n', {"l1", "l2"}},
      {"x@a.b;y@c.d;", ';', {"x@a.b", "y@c.d"}},
  };
  for (const auto& c : cases) {
    SplitList list = text_split(c.text, c.delimiter);
    EXPECT_EQ(list.items, c.items) << c.text;
    EXPECT_EQ(list.count(), static_cast<int>(c.items.size()));
    EXPECT_EQ(list.offsets.size(), c.items.size());
  }
}

TEST(TextSplit, OffsetsPointAtItemStarts) {
  SplitList list = text_split("a, b ,,c,", ',');
  ASSERT_EQ(list.count(), 4);
  EXPECT_EQ(list.offsets, (std::vector<int>{0, 3, 6, 7}));
  EXPECT_EQ(SplitList().count(), 0);
}

TEST(TextTrim, InPlaceAndIntoOtherBuffer) {
  char a[] = " \t hello world \r\n";
  EXPECT_EQ(text_trim(a), 11);
  EXPECT_STREQ(a, "hello world");

  char src[] = "  abc  ";
  char dest[16];
  EXPECT_EQ(text_trim(src, dest), 3);
  EXPECT_STREQ(dest, "abc");
  EXPECT_STREQ(src, "  abc");  // trailing white space is cut in the source too

  char src2[] = " abcdef ";
  char small[4];
  EXPECT_EQ(text_trim(src2, small), 3);  // cut to fit
  EXPECT_STREQ(small, "abc");

  char blank[] = " \r\n\t ";
  EXPECT_EQ(text_trim(blank), 0);
  EXPECT_STREQ(blank, "");
  char out[4] = "xyz";
  EXPECT_EQ(text_trim(nullptr, out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(trim_view(" \tx y\r\n"), "x y");
}

struct HeaderCase {
  const char* text;
  const char* name;
  int capacity;
  int result;
  const char* value;
};

TEST(HeaderValue, Table) {
  const char* req = "GET /x HTTP/1.1\r\nHost: localhost\r\nrange: bytes=1-\r\nRange:\t  bytes=0-9\r\nX:\r\n";
  const HeaderCase cases[] = {
      {req, "Host", 64, 9, "localhost"},
      {req, "Range", 64, 9, "bytes=0-9"},  // "range:" does not count
      {req, "range", 64, 8, "bytes=1-"},
      {req, "Rang", 64, 0, ""},
      {req, "Ranges", 64, 0, ""},
      {req, "X", 64, 0, ""},
      {req, "Host", 9, 10, ""},   // needs length + 1: nothing copied
      {req, "Host", 10, 9, "localhost"},
      {"Host: first-line\r\nA: b", "Host", 64, 0, ""},  // the first line is skipped
      {"GET\nA: last", "A", 64, 4, "last"},
      {"GET\nA: b", "A", 0, 2, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<char> out(static_cast<size_t>(c.capacity) + 1, '#');
    std::span<char> span(out.data(), static_cast<size_t>(c.capacity));
    EXPECT_EQ(header_value(c.text, span, c.name), c.result) << c.name;
    if (c.value) {
      EXPECT_STREQ(out.data(), c.value) << c.name;
    }
    EXPECT_EQ(out[static_cast<size_t>(c.capacity)], '#') << "wrote past the buffer";
  }
}

TEST(HeaderValue, StopsAtNul) {
  std::string text("GET\nA: b\0c\nB: d\n", 16);
  char out[16];
  EXPECT_EQ(header_value(text, out, "B"), 0);
  EXPECT_EQ(header_value(text, out, "A"), 1);
  EXPECT_STREQ(out, "b");
}

struct Utf8Case {
  std::string bytes;
  uint32_t code_point;
  int advance;
};

TEST(Utf8Next, Table) {
  const Utf8Case cases[] = {
      {"A", 0x41, 1},
      {"\xC3\xA9", 0xE9, 2},
      {"\xE2\x82\xAC", 0x20AC, 3},
      {"\xF0\x9F\x98\x80", 0x1F600, 4},
      {"\xF8\x88\x80\x80\x80", 0x200000, 5},
      {"\xFD\xBF\xBF\xBF\xBF\xBF", 0x7FFFFFFF, 6},
      {"\x80", 0, 1},            // continuation byte where a lead is expected
      {"\xC3\x41", 0, 2},        // lead followed by a non-continuation byte
      {"\xE2\x82Z", 0, 3},
      {"\xC3", 0, 1},            // cut by the end
      {"\xF0\x9F\x98", 0, 3},
      {"\xFE\x80", 0, 1},
      {"\xFF", 0, 1},
      {"", 0, 0},
  };
  for (const auto& c : cases) {
    // Exactly sized heap copy: reading past the end would trip ASan.
    auto buf = std::make_unique<char[]>(c.bytes.size() + 1);
    std::memcpy(buf.get(), c.bytes.data(), c.bytes.size());
    const char* cursor = buf.get();
    EXPECT_EQ(utf8_next(cursor, buf.get() + c.bytes.size()), c.code_point) << c.bytes;
    EXPECT_EQ(cursor - buf.get(), c.advance) << c.bytes;
  }
}

TEST(Utf8Put, RoundTripsAndBounds) {
  const uint32_t values[] = {0, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x1FFFFF, 0x200000, 0x3FFFFFF,
                             0x4000000, 0x7FFFFFFF};
  const int lengths[] = {1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6};
  for (size_t i = 0; i < std::size(values); ++i) {
    char buf[6];
    int n = utf8_put(buf, values[i]);
    ASSERT_EQ(n, lengths[i]) << values[i];
    const char* cursor = buf;
    EXPECT_EQ(utf8_next(cursor, buf + n), values[i]);
    EXPECT_EQ(cursor, buf + n);
    EXPECT_TRUE(utf8_valid(std::string_view(buf, static_cast<size_t>(n))));
  }
  char buf[6];
  EXPECT_EQ(utf8_put(buf, 0x80000000u), 0);
  EXPECT_EQ(utf8_put(std::span<char>(buf, 2), 0x20AC), 0);  // does not fit
  EXPECT_EQ(utf8_put(std::span<char>(buf, 3), 0x20AC), 3);
  EXPECT_EQ(std::string(buf, 3), "\xE2\x82\xAC");
}

TEST(Utf8Valid, Table) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain ASCII", true},
      {"M\xC3\xBCller", true},
      {"\xFD\xBF\xBF\xBF\xBF\xBF", true},
      {"\xC0\x80", true},  // overlong forms are accepted
      {std::string("a\0b", 3), true},
      {"M\x81ller", false},
      {"\xC3", false},       // truncated last sequence
      {"ab\xE2\x82", false},
      {"\xC3\x41", false},
      {"\xFE", false},
      {"\xFF", false},
      {"\xBF", false},
  };
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(utf8_valid(bytes), valid) << bytes;
}

TEST(Base64, Table) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},           {"a", "YQ=="},        {"ab", "YWI="},
      {"abc", "YWJj"},    {"abcd", "YWJjZA=="}, {"user@example.com:secret", "dXNlckBleGFtcGxlLmNvbTpzZWNyZXQ="},
      {std::string("\xFF\xFE\x00", 3), "//4A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(base64_encode(std::string_view(in)), out) << in;

  const uint8_t data[] = {'a', 'b', 'c', 'd'};
  char exact[9];
  EXPECT_EQ(base64_encode(data, exact), 8);
  EXPECT_STREQ(exact, "YWJjZA==");
  char small[8] = "xxxxxxx";
  EXPECT_EQ(base64_encode(data, small), -1);  // no room for the NUL
  EXPECT_STREQ(small, "");
}

TEST(CopyCut, CutsAndTerminates) {
  char out[4];
  EXPECT_EQ(copy_cut(out, "abcdef"), 3);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(copy_cut(out, "ab"), 2);
  EXPECT_STREQ(out, "ab");
  EXPECT_EQ(copy_cut(std::span<char>(), "ab"), 0);
  // A default view has no data pointer at all; the sanitizer build checks it.
  EXPECT_EQ(copy_cut(out, std::string_view()), 0);
  EXPECT_STREQ(out, "");
}

}  // namespace

TEST(AppendFormat, AppendsShortAndLongTexts) {
  std::string out = "x=";
  EXPECT_EQ(append_format(out, "%d", 42), 2);
  EXPECT_EQ(out, "x=42");
  std::string longer(3000, 'y');
  EXPECT_EQ(append_format(out, ";%s;", longer.c_str()), 3002);
  EXPECT_EQ(out, "x=42;" + longer + ";");
}
