// Number parsers, splitting, trimming, header lookup, UTF-8 and Base64.
// White space is exactly space, tab, CR and LF. Free functions without state.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// "0x"/"0X" + hex digits, else optional sign + decimal digits; stops at the
// first character that does not fit; no leading white space skipped; 32-bit
// arithmetic wraps. nullptr gives 0.
int32_t parse_int(const char* text);
// Optional sign, digits, at most one ".", digits; single precision. Stops at
// the first other character (no exponent); nullptr gives 0.
float parse_float(const char* text);

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Position just after the first occurrence of pattern at a line start (offset
// 0 or just after "\n"), or -1 (always -1 for an empty pattern).
int text_find_line(std::string_view text, std::string_view pattern);

struct SplitList {
  std::vector<std::string> items;  // trimmed
  std::vector<int> offsets;        // of each item's first character
  int count() const { return static_cast<int>(items.size()); }
};
// Items separated by the delimiter (a space delimiter also splits at tabs),
// each trimmed. Empty items between two delimiters stay, nothing after a
// final delimiter gives no item; with a white-space delimiter runs collapse.
// A default SplitList is the empty list.
SplitList text_split(std::string_view text, char delimiter);

// Copies the NUL-terminated source without leading and trailing white space
// into dest (which may be the source's own storage), cut to fit and always
// NUL-terminated when dest is not empty; the trailing white space is cut in
// the source as well. Returns the copied length.
int text_trim(char* source, std::span<char> dest);
// Trims the NUL-terminated text in place; returns its new length.
int text_trim(char* text);
// Trimmed copy as a view into the same text.
std::string_view trim_view(std::string_view text);

// Value of the first line after the first "\n" that begins with name + ":"
// (exact case), spaces and tabs after the colon skipped, up to "\r", "\n",
// NUL or the end. Returns the copied length, 0 (and "") when absent, or
// length + 1 without copying (out left "") when out is too small.
int header_value(std::string_view text, std::span<char> out, std::string_view name);

// Decodes one code point at cursor (1- to 6-byte forms) and advances it, never
// beyond end. Malformed input yields 0 with the cursor after the bytes
// examined: a stray continuation byte or bad lead byte is one byte; a lead
// byte followed by a non-continuation byte includes that byte; a sequence
// cut by end leaves the cursor at end. At end, 0 without moving.
uint32_t utf8_next(const char*& cursor, const char* end);
// Writes 1 to 6 bytes for code points up to 0x7FFFFFFF into out and returns
// the count; 0 (nothing written) when the value is larger or out too small.
int utf8_put(std::span<char> out, uint32_t code_point);
// Every sequence a complete 1- to 6-byte form (leads 0xC0 to 0xFD followed
// by the right number of 0x80 to 0xBF bytes); a truncated last sequence is
// invalid.
bool utf8_valid(std::string_view text);

// Standard Base64 with "=" padding, no line breaks. out must hold
// 4 * ((len + 2) / 3) + 1 bytes; NUL-terminated; returns the length, or -1
// (out left "") when out is too small.
int base64_encode(std::span<const uint8_t> data, std::span<char> out);
std::string base64_encode(std::string_view data);

// Copies text into out, cut to fit (always NUL-terminated when out is not
// empty); returns the copied length.
int copy_cut(std::span<char> out, std::string_view text);

// printf into a std::string (appends); the appended length.
int append_format(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
