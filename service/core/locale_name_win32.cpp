#include <windows.h>

#include <string>

#include "service/core/locale_name.h"
#include "service/core/win32_text.h"

std::string system_locale_name() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) <= 0) return {};
  name[10] = 0;  // the service keeps at most ten characters
  return wide_to_utf8(name);
}
