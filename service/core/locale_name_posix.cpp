#include <cstdlib>
#include <string>

#include "service/core/locale_name.h"

// The locale comes from the environment the way the C library resolves
// LC_MESSAGES: LC_ALL, then LC_MESSAGES, then LANG. "de_DE.UTF-8@euro"
// becomes "de-DE"; "C" and "POSIX" name no language.
std::string system_locale_name() {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string value;
  for (const char* name : names) {
    const char* v = std::getenv(name);
    if (v && *v) {
      value = v;
      break;
    }
  }
  std::size_t cut = value.find_first_of(".@");
  if (cut != std::string::npos) value.resize(cut);
  if (value == "C" || value == "POSIX") return {};
  for (char& c : value) {
    if (c == '_') c = '-';
  }
  if (value.size() > 10) value.resize(10);
  return value;
}
