// Profile files: the INI-like format of every configuration and state file.
// Every call reads (and for writes, rewrites) the whole file; no cache.
// Headers are passed with their brackets, e.g. "[app]".
#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct ProfileList {
  std::vector<std::string> keys;    // trimmed, file order
  std::vector<std::string> values;  // trimmed
  std::vector<int> key_offsets;
  std::vector<int> value_offsets;
  int count() const { return static_cast<int>(keys.size()); }
  // Value of the first pair with key, or nullptr.
  const std::string* find(std::string_view key) const;
};

// Paths are UTF-8, relative to the program folder or absolute; a backslash
// counts as "/".

// Whole text after BOM removal and code-page conversion; -1 when path is no
// existing regular file, else the length.
int profile_load(const char* path, std::string& text);
// Length of the section body as stored (comments included); 0 when the file
// or section is missing. An empty or null header measures the whole file.
int profile_section_size(const char* path, const char* header);
// Section body without comments into out and its length; when the stored
// body does not fit (length + 1 > out.size()), out is left "" and the stored
// length is returned. An empty or null header gives the whole file. 0 when
// the file or section is missing.
int profile_section_text(const char* path, const char* header, std::span<char> out);
// Key lines of a text; offsets are byte offsets into that text.
ProfileList profile_parse(std::string_view text);
// Key/value list of the section (comments removed); empty when the file,
// the section or its body is missing.
ProfileList profile_read_section(const char* path, const char* header);
// Value into out, cut to fit; its length, 0 and "" when absent.
int profile_read_value(const char* path, const char* header, const char* key, std::span<char> out);
// Convenience: the value as a string ("" when absent).
std::string profile_get(const char* path, const char* header, const char* key);
// Sets key (empty or null value removes it); the file is replaced whole
// through a temporary file and a rename. 0, or -1 when the file does not
// exist and nothing was to be written, when it exists but cannot be read,
// when the write fails, or when header, key or value would break the file's
// layout (not UTF-8, a line break anywhere, a key with "=", "##",
// surrounding blanks or a leading "[" or "#", a header not starting with
// "[").
int profile_write_value(const char* path, const char* header, const char* key, const char* value);
// Replaces the section by header + body; an empty body removes it; creates
// the file when needed (the body must be UTF-8). A file left empty is
// deleted. 0 or -1 as above.
int profile_write_section(const char* path, const char* header, std::string_view body);

// Conversion of a text in the system's OEM code page to UTF-8.
std::string oem_to_utf8(std::string_view text);
