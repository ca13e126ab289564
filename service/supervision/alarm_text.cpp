// Two layouts of the resource folder are in use: one folder per language
// ("www/resource/en/0_locale.txt") and, in older packages, all languages
// side by side ("www/resource/0_locale.en"), recognised by its Chinese file.
#include "service/supervision/alarm_text.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/supervision/sup_common.h"

namespace {

constexpr const char* kResourceFolder = "www/resource";
constexpr const char* kDefaultConfig = "www/conf/default.inf";
constexpr size_t kLanguageMax = 95;

// "/tmp/%d_locale" may rename the resource of a text group.
std::string resource_name(uint32_t group) {
  char name[32];
  std::snprintf(name, sizeof name, "%u_locale", group);
  std::string override_path = marker_path(name);
  FILE* f = file_open(override_path.c_str(), "rb");
  if (!f) return name;
  char buf[33];
  size_t n = std::fread(buf, 1, 32, f);
  std::fclose(f);
  buf[n] = '\0';
  // Only the first line counts: the file is written by hand or by a script.
  std::string_view v(buf, n);
  v = v.substr(0, v.find('\0'));
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r' || v.back() == '\n')) v.remove_suffix(1);
  // The folder is writable by anyone on Linux: a name that could leave the
  // resource folder is ignored.
  if (!safe_name(v, 32)) return name;
  return std::string(v);
}

std::string resource_file(const std::string& name, std::string_view language, bool single_folder) {
  std::string path = kResourceFolder;
  if (single_folder) return path + "/" + name + "." + std::string(language);
  return path + "/" + std::string(language) + "/" + name + ".txt";
}

std::vector<std::string> language_candidates(std::string_view language) {
  std::vector<std::string> out{std::string(language)};
  std::string current(language);
  if (current == "un") {
    current = profile_get(kDefaultConfig, "[master]", "language");
    out.push_back(current);
  }
  if (current.size() > 3) {
    std::string cut = current.substr(0, 4);
    cut = cut.substr(0, cut.find('-'));
    out.push_back(cut);
  }
  out.push_back("en");
  out.push_back("zh");
  return out;
}

std::string find_resource(uint32_t group, std::string_view language) {
  std::string name = resource_name(group);
  bool single = path_kind((std::string(kResourceFolder) + "/" + name + ".zh").c_str()) == 2;
  for (const std::string& lang : language_candidates(language)) {
    if (!safe_name(lang, kLanguageMax)) continue;
    std::string path = resource_file(name, lang, single);
    if (path_kind(path.c_str()) == 2) return path;
  }
  return {};
}

bool lookup(const std::string& file, const std::string& key, std::string& out) {
  if (file.empty()) return false;
  ProfileList list = profile_read_section(file.c_str(), "[alarm]");
  const std::string* v = list.find(key);
  if (!v) return false;
  out = std::string(utf8_cut(*v, kAlarmTextMax));
  return true;
}

// Only the first "%s" takes the raise text and "%%" is a percent sign: the
// format comes from a file, and handing it to printf would let a stray
// "%n" or "%d" read or write arbitrary memory.
std::string apply_removal_format(std::string_view format, std::string_view raise_text) {
  std::string out;
  bool used = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (format[i + 1] == 's' && !used) {
        out.append(raise_text);
        used = true;
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return std::string(utf8_cut(out, kAlarmTextMax));
}

void replace_first(std::string& text, std::string_view what, unsigned value) {
  size_t at = text.find(what);
  if (at == std::string::npos) return;
  text.replace(at, what.size(), std::to_string(value));
}

}  // namespace

std::string alarm_text(uint32_t code, const char* language) {
  std::string_view lang = language ? language : "";
  if (lang.empty()) {
    std::fputs("ERROR : ref_language is null\n", stderr);
    lang = "en";
  }
  const uint32_t k = code & kAlarmNumberMask;
  const bool removal = (code & kAlarmRemoved) != 0;
  std::string file = find_resource(code >> 28, lang);

  std::string raise_key = "alarm_" + std::to_string(k);
  std::string text;
  if (!removal) {
    if (!lookup(file, raise_key, text)) text = raise_key;
  } else {
    std::string key = raise_key + "x";
    if (!lookup(file, key, text)) {
      std::string raise_text;
      if (lookup(file, raise_key, raise_text)) {
        std::string format;
        if (!lookup(file, "alarm_x_format", format)) format = "%s Removed";
        text = apply_removal_format(format, raise_text);
      } else {
        text = key;
      }
    }
  }
  uint32_t p1 = (code >> 16) & 0xFF, p2 = (code >> 24) & 0x0F;
  if (p1) replace_first(text, "$1", p1);
  if (p2) replace_first(text, "$2", p2);
  return text;
}
