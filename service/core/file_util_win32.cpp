#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "service/core/file_util.h"
#include "service/core/win32_text.h"

namespace {

std::string from_wide_path(const std::wstring& w) {
  std::string s = wide_to_utf8(w);
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

int delete_tree(const std::wstring& path) {
  DWORD attr = GetFileAttributesW(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return 0;
  if (!(attr & FILE_ATTRIBUTE_DIRECTORY) || (attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (attr & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attr & ~FILE_ATTRIBUTE_READONLY);
    if (attr & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path.c_str()) ? 0 : -1;
    return DeleteFileW(path.c_str()) ? 0 : -1;
  }
  int result = 0;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      if (delete_tree(path + L"\\" + name) != 0) result = -1;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  if (!RemoveDirectoryW(path.c_str())) result = -1;
  return result;
}

}  // namespace

FILE* file_open(const char* path, const char* mode) {
  if (!path || !*path) return nullptr;
  std::wstring wmode = utf8_to_wide(mode);
  // _wfsopen with _SH_DENYNO lets other processes read and write meanwhile.
  return _wfsopen(path_to_wide(path).c_str(), wmode.c_str(), 0x40 /* _SH_DENYNO */);
}

int path_kind(const char* path) {
  if (!path || !*path) return 0;
  DWORD attr = GetFileAttributesW(path_to_wide(path).c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return 0;
  return (attr & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 2;
}

int64_t file_size(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!path || !GetFileAttributesExW(path_to_wide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int dir_create(const char* path) {
  if (!path || !*path) return -1;
  if (CreateDirectoryW(path_to_wide(path).c_str(), nullptr)) return 0;
  return (GetLastError() == ERROR_ALREADY_EXISTS && path_kind(path) == 1) ? 0 : -1;
}

int tree_delete(const char* path) {
  if (!path || !*path) return -1;
  return delete_tree(path_to_wide(path));
}

int file_move(const char* from, const char* to) {
  if (!from || !to) return -1;
  return MoveFileExW(path_to_wide(from).c_str(), path_to_wide(to).c_str(), MOVEFILE_COPY_ALLOWED) ? 0 : -1;
}

int file_delete(const char* path) {
  if (!path) return -1;
  return DeleteFileW(path_to_wide(path).c_str()) ? 0 : -1;
}

int file_replace(const char* from, const char* to) {
  if (!from || !to) return -1;
  DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  return MoveFileExW(path_to_wide(from).c_str(), path_to_wide(to).c_str(), flags) ? 0 : -1;
}

int file_sync(FILE* f) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  return FlushFileBuffers(h) ? 0 : -1;
}

int dir_list(const char* folder, int kinds, DirList& out) {
  out.folder = folder ? folder : "";
  out.entries.clear();
  std::wstring pattern = path_to_wide(out.folder.empty() ? "." : out.folder.c_str()) + L"\\*.*";
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
  bool all = kinds == 0 || (kinds & 16);
  int want = kinds & 3;
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    if (!all && (name[0] == L'.' || (fd.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN))) continue;
    int kind = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 2;
    if (want && !(want & kind)) continue;
    out.entries.push_back({kind, wide_to_utf8(name)});
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  dir_list_sort(out);
  return out.count();
}

bool start_program(const char* command_line) {
  if (!command_line || !*command_line) return false;
  std::wstring cmd = utf8_to_wide(command_line);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | DETACHED_PROCESS,
                           nullptr, nullptr, &si, &pi);
  if (!ok) return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

std::string current_dir() {
  wchar_t buf[MAX_PATH * 2];
  DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, buf);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  return from_wide_path(std::wstring(buf, n));
}

std::string program_folder() {
  wchar_t buf[32768];
  DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
  if (n == 0 || n >= 32768) return current_dir();
  std::wstring path(buf, n);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  std::size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return current_dir();
  return from_wide_path(path.substr(0, cut));
}

int change_dir(const char* path) {
  if (!path) return -1;
  return SetCurrentDirectoryW(path_to_wide(path).c_str()) ? 0 : -1;
}

std::string system_temp_dir() {
  wchar_t buf[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  if (n == 0 || n > MAX_PATH) return "C:/Windows/Temp";
  std::string s = from_wide_path(std::wstring(buf, n));
  while (s.size() > 3 && s.back() == '/') s.pop_back();
  return s;
}
