// UTF-8 <-> UTF-16 for calls into Windows (only *_win32.cpp files use it).
#pragma once
#include <string>
#include <string_view>

// Code points above 0xFFFF keep only their low 16 bits; those whose low
// 16 bits are 0 are dropped.
std::wstring utf8_to_wide(std::string_view text);
std::string wide_to_utf8(const std::wstring& text);
// A service path for Windows: "/" becomes "\".
std::wstring path_to_wide(const char* path);
