// Text pieces of the device API answers: JSON strings that stay JSON
// whatever the UPS, the configuration or a user put into them, and the
// small formatting helpers the item writers share.
#pragma once
#include "service/core/text.h"
#include <cstring>
#include <span>
#include <string>
#include <string_view>

// Appends text as a JSON string with its quotes. Quotes and backslashes
// are escaped; line feed, carriage return and tab as "\n", "\r", "\t" (the
// forms the service's own JSON reader resolves), other control characters
// as "\u00XX"; a byte that is not part of a valid UTF-8 sequence becomes
// U+FFFD, since one stray byte from the serial line would otherwise make
// the whole answer invalid JSON for every reader.
void api_append_string(std::string& out, std::string_view text);


// Whether a profile file can hold the value and give it back unchanged:
// valid UTF-8, no line break, no "##" (the rest of the line would read as
// a comment) and no white space at either end (values are trimmed when
// read).
bool api_value_storable(std::string_view value);

// A language code as it names folders of the web package: 1 to max_bytes
// letters, digits, "-" and "_".
bool api_language_code(std::string_view value, size_t max_bytes);

// Copies the result held in a fixed buffer (n bytes, as the command
// writers return it) to out; the appended length, 0 when n is 0 or less.
int api_append_result(std::string& out, std::span<const char> buffer, int n);

// A fixed text field (of the status record, the settings): up to its
// terminator, or the whole array when it has none. The status record is
// filled from the serial line, so the terminator is not taken on trust.
template <size_t N>
std::string_view api_field(const char (&text)[N]) {
  const void* end = std::memchr(text, '\0', N);
  return std::string_view(text, end ? static_cast<size_t>(static_cast<const char*>(end) - text) : N);
}
