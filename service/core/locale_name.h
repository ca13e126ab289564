#pragma once
#include <string>

// The system's default locale name in the form "de-DE" (at most 10
// characters); "" when the system names none.
std::string system_locale_name();
