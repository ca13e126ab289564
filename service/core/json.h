// In-place JSON scanning on NUL-terminated UTF-8 text: no tree, no
// allocation. A "value at p" means p points at its first character.
// Numbers: optional "-" then digits and dots. Nesting depth limit 1024.
#pragma once
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

constexpr int kJsonMaxDepth = 1024;
constexpr int kJsonRawCapacity = 2048;
constexpr int kJsonKeyCapacity = 128;

// Length of the document at the start of text (leading white space included,
// up to the outermost closing bracket), or -1. The first length bytes must be
// readable; a NUL among them fails.
int json_check(const char* text, int length);
// p at "{" / "[": position after the matching bracket, or nullptr.
const char* json_skip_object(const char* p);
const char* json_skip_array(const char* p);
// p at a string, literal or number: position after it, or nullptr.
const char* json_skip_scalar(const char* p);
// Any value at p: position after it, or nullptr.
const char* json_skip_value(const char* p);

// Raw text of the value at p into out (2048 bytes in the usual form);
// returns length, or length + 1 without copying (out left "") when it does
// not fit; -1 for a malformed string, object or array.
int json_raw_value(const char* p, std::span<char> out);
// Decoded value (strings unquoted, escapes resolved); needed size without
// copying when out is too small (raw length - 1 for a string, raw length + 1
// otherwise), so a result >= out.size() means "did not fit"; an empty
// string gives 0.
int json_value(const char* p, std::span<char> out);
// Key of member n of the object at p into out (capacity 128), or with an
// empty out the offset of the member from p; -1 when absent.
int json_key_at(const char* p, int n, std::span<char> out);
// Value of the first member with the key, decoded; empty out gives the
// offset of the value from p; -1 when absent.
int json_get(const char* p, const char* key, std::span<char> out);
// Element n of the array at p, raw / decoded; empty out gives the offset.
int json_raw_at(const char* p, int n, std::span<char> out);
int json_at(const char* p, int n, std::span<char> out);
// Comma-separated path of keys and indexes from the root of text: 0 when the
// text is no valid document, a failing step's result, else the final value
// decoded into out (empty out: its offset from text).
int json_path(const char* text, const char* path, std::span<char> out);
// Removes the first member with key from the object text in place; new
// length (unchanged when there is no such member or the text is no valid
// object).
int json_remove(char* text, const char* key);
// Compact copy of the document (strlen(source) + 1 bytes always suffice;
// dest may be the source itself); 0 and "" when the source is no valid
// document or the copy does not fit.
int json_compact(const char* source, std::span<char> dest);
// The same for a bare pointer known to hold strlen(source) + 1 bytes. Arrays
// do not match here: they go to the span form and keep their bound.
template <class P>
  requires std::is_same_v<std::remove_cvref_t<P>, char*>
int json_compact(const char* source, P&& dest) {
  if (!dest) return 0;
  return json_compact(source, std::span<char>(dest, source ? std::strlen(source) + 1 : 1));
}
