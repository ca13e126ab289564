#include "service/core/profile.h"

#include "service/core/file_util.h"
#include "service/core/text.h"

namespace {

// Profiles are small; a bound keeps a stray huge file from being pulled
// into memory (and keeps every offset inside an int).
constexpr int64_t kMaxProfileBytes = 16 << 20;

std::string normalise_path(const char* path) {
  std::string p = path ? path : "";
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

// Where a section lies in a file's text: the header line starts at start,
// the body runs from body_begin to body_end (after the "\n" before the next
// line beginning with "[", or the end of the text).
struct SectionSpan {
  bool found = false;
  size_t start = 0;
  size_t body_begin = 0;
  size_t body_end = 0;
};

SectionSpan find_section(std::string_view text, std::string_view header) {
  SectionSpan s;
  int after = text_find_line(text, header);
  if (after < 0) return s;
  s.found = true;
  auto pos = static_cast<size_t>(after);
  s.start = pos - header.size();
  size_t nl = text.find('\n', pos);
  if (nl == std::string_view::npos) {
    s.body_begin = s.body_end = text.size();
    return s;
  }
  s.body_begin = nl + 1;
  size_t next = text.find("\n[", pos);
  s.body_end = next == std::string_view::npos ? text.size() : next + 1;
  return s;
}

// A "#" at a line start comments out the line with its line end; "##"
// later in a line comments out the rest of the line but keeps a line end.
std::string strip_comments(std::string_view body) {
  std::string out;
  out.reserve(body.size());
  bool skipping = false;
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (skipping) {
      if (c == '\n') skipping = false;
      continue;
    }
    if (c == '#') {
      if (i == 0 || body[i - 1] == '\n') {
        skipping = true;
        continue;
      }
      if (i + 1 < body.size() && body[i + 1] == '#') {
        out += '\n';
        skipping = true;
        continue;
      }
    }
    out += c;
  }
  return out;
}

// The part of the text a header addresses: its section body, or the whole
// text for an empty header. false when the section is missing.
bool section_view(std::string_view text, const char* header, std::string_view& body) {
  if (!header || !*header) {
    body = text;
    return true;
  }
  SectionSpan s = find_section(text, header);
  if (!s.found) return false;
  body = text.substr(s.body_begin, s.body_end - s.body_begin);
  return true;
}

bool has_line_break(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Headers, keys and values are written verbatim; anything that would read
// back as a different line structure is refused rather than written. So is
// text that is not UTF-8: it would make the next reader take the whole file
// for OEM text and garble every other setting in it.
bool valid_header(const char* header) {
  return header && header[0] == '[' && !has_line_break(header) && utf8_valid(header);
}

bool valid_value(const char* value) { return !has_line_break(value) && utf8_valid(value); }

bool valid_key(const char* key) {
  if (!key || !*key) return false;
  std::string_view k(key);
  if (trim_view(k) != k || has_line_break(k) || !utf8_valid(k)) return false;
  if (k.find('=') != std::string_view::npos || k.find("##") != std::string_view::npos) return false;
  return k[0] != '[' && k[0] != '#';
}

void append_pair(std::string& body, std::string_view key, std::string_view value) {
  body.append(key).append("=").append(value).append("\r\n");
}

// Reads the file for a rewrite. false when it exists but cannot be read:
// writing then would replace settings we never saw.
bool load_for_write(const std::string& path, std::string& text, bool& exists) {
  exists = profile_load(path.c_str(), text) >= 0;
  if (exists) return true;
  text.clear();
  return path_kind(path.c_str()) == 0;
}

int store(const std::string& path, const std::string& text) {
  if (text.empty()) return file_delete(path.c_str());
  return file_write_atomic(path.c_str(), text);
}

int write_section_in(const std::string& path, std::string& text, bool exists, const char* header,
                     std::string_view body) {
  std::string section;
  if (!body.empty()) {
    section.append(header).append("\n").append(body);
    if (body.back() != '\n') section += '\n';
  }
  if (!exists) {
    if (section.empty()) return -1;
    return store(path, section + "\n[]\n");
  }
  SectionSpan s = find_section(text, header);
  if (s.found) {
    text.replace(s.start, s.body_end - s.start, section);
  } else {
    if (section.empty()) return 0;
    int marker = text_find_line(text, "[]");
    if (marker >= 0) {
      text.insert(static_cast<size_t>(marker) - 2, section);
    } else {
      // A header glued to an unterminated last line would never be found.
      if (!text.empty() && text.back() != '\n') text += '\n';
      text += section;
    }
  }
  return store(path, text);
}

}  // namespace

const std::string* ProfileList::find(std::string_view key) const {
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &values[i];
  }
  return nullptr;
}

int profile_load(const char* path, std::string& text) {
  text.clear();
  std::string p = normalise_path(path);
  if (p.empty() || path_kind(p.c_str()) != 2) return -1;
  if (file_read_all(p.c_str(), text, kMaxProfileBytes) < 0) {
    text.clear();
    return -1;
  }
  // Editors that add a mark to a file that has one leave several; a file
  // written back must carry none, or the next reader finds a different
  // first line than the writer did.
  size_t marks = 0;
  while (text.compare(marks, 3, "\xEF\xBB\xBF") == 0) marks += 3;
  text.erase(0, marks);
  if (!utf8_valid(text)) text = oem_to_utf8(text);
  return static_cast<int>(text.size());
}

int profile_section_size(const char* path, const char* header) {
  std::string text;
  if (profile_load(path, text) < 0) return 0;
  std::string_view body;
  if (!section_view(text, header, body)) return 0;
  return static_cast<int>(body.size());
}

int profile_section_text(const char* path, const char* header, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  std::string text;
  if (profile_load(path, text) < 0) return 0;
  std::string_view body;
  if (!section_view(text, header, body)) return 0;
  if (body.size() + 1 > out.size()) return static_cast<int>(body.size());
  return copy_cut(out, strip_comments(body));
}

ProfileList profile_parse(std::string_view text) {
  ProfileList list;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view line = text.substr(pos, end - pos);
    size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      std::string_view key = trim_view(line.substr(0, eq));
      std::string_view value = trim_view(line.substr(eq + 1));
      if (!key.empty() && !value.empty()) {
        list.keys.emplace_back(key);
        list.values.emplace_back(value);
        list.key_offsets.push_back(static_cast<int>(key.data() - text.data()));
        list.value_offsets.push_back(static_cast<int>(value.data() - text.data()));
      }
    }
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return list;
}

ProfileList profile_read_section(const char* path, const char* header) {
  std::string text;
  if (profile_load(path, text) < 0) return {};
  std::string_view body;
  if (!section_view(text, header, body) || body.empty()) return {};
  return profile_parse(strip_comments(body));
}

int profile_read_value(const char* path, const char* header, const char* key, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  if (!key) return 0;
  ProfileList list = profile_read_section(path, header);
  const std::string* value = list.find(key);
  if (!value) return 0;
  return copy_cut(out, *value);
}

std::string profile_get(const char* path, const char* header, const char* key) {
  if (!key) return {};
  ProfileList list = profile_read_section(path, header);
  const std::string* value = list.find(key);
  return value ? *value : std::string();
}

int profile_write_value(const char* path, const char* header, const char* key, const char* value) {
  if (!valid_header(header) || !valid_key(key)) return -1;
  if (value && !*value) value = nullptr;
  if (value && !valid_value(value)) return -1;
  std::string p = normalise_path(path);
  std::string text;
  bool exists = false;
  if (!load_for_write(p, text, exists)) return -1;
  SectionSpan s;
  if (exists) s = find_section(text, header);
  if (s.found && s.body_end > s.body_begin) {
    // The section is rebuilt from its pairs: comments, blank lines and
    // lines that carry nothing do not survive, and spacing becomes none.
    std::string_view stored(text.data() + s.body_begin, s.body_end - s.body_begin);
    ProfileList list = profile_parse(strip_comments(stored));
    std::string body;
    bool seen = false;
    for (int i = 0; i < list.count(); ++i) {
      // An indented "#key=value" or "[key=value" reads as a pair, but
      // written without the indent it would come back as a comment or end
      // the section: such pairs go like the comments.
      if (list.keys[i][0] == '#' || list.keys[i][0] == '[') continue;
      if (list.keys[i] != key) {
        append_pair(body, list.keys[i], list.values[i]);
        continue;
      }
      if (!seen && value) append_pair(body, key, value);
      seen = true;
    }
    if (!seen && value) append_pair(body, key, value);
    if (!body.empty()) body += "\r\n";
    return write_section_in(p, text, exists, header, body);
  }
  if (value) {
    std::string body;
    append_pair(body, key, value);
    body += "\r\n";
    return write_section_in(p, text, exists, header, body);
  }
  return exists ? 0 : -1;
}

int profile_write_section(const char* path, const char* header, std::string_view body) {
  if (!valid_header(header) || !utf8_valid(body)) return -1;
  std::string p = normalise_path(path);
  std::string text;
  bool exists = false;
  if (!load_for_write(p, text, exists)) return -1;
  return write_section_in(p, text, exists, header, body);
}
