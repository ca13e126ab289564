// File operations on UTF-8 paths with "/" as separator, relative to the
// program folder (the current directory). One implementation per system.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Longest path the service handles, in bytes of UTF-8 without the NUL.
constexpr int kMaxPath = 511;

// Opens with a C stream mode ("rb", "wb", "ab", ...) in shared mode; nullptr
// on failure.
FILE* file_open(const char* path, const char* mode);
// 0 = does not exist, 1 = folder, 2 = file.
int path_kind(const char* path);
// Size in bytes; 0 when the file does not exist.
int64_t file_size(const char* path);
// Creates one folder level; an existing folder is no error. 0 or -1.
int dir_create(const char* path);
// Deletes a file or a folder with everything in it. 0 or -1.
int tree_delete(const char* path);
// Renames or moves; fails (-1) when the target exists.
int file_move(const char* from, const char* to);
// Deletes one file. 0 or -1.
int file_delete(const char* path);
// Replaces the target by the source in one atomic step (the target may
// exist). 0 or -1.
int file_replace(const char* from, const char* to);

// Folder listing. Each entry: kind (1 folder, 2 file) and UTF-8 name.
struct DirEntry {
  int kind;
  std::string name;
};
struct DirList {
  std::string folder;
  std::vector<DirEntry> entries;  // sorted, see dir_list
  int count() const { return static_cast<int>(entries.size()); }
};
// Flushes a written stream to the disk. 0 or -1.
int file_sync(FILE* f);
// Sorts a listing in dir_list order (used by both implementations).
void dir_list_sort(DirList& list);

// Whole file into out; the length, or -1 when the path is no readable
// regular file. max_bytes bounds what is read (longer files fail).
int64_t file_read_all(const char* path, std::string& out, int64_t max_bytes = 64 << 20);
// Writes data to a temporary file beside path and renames it over path, so
// a crash leaves either the old or the new file, never a torn one. 0 or -1.
int file_write_atomic(const char* path, std::string_view data);

// Lists a folder. kinds: bit 0 folders, bit 1 files (0: both); with kinds
// non-zero and without bit 4, names beginning with "." and hidden entries
// are left out. Sorted by name, ASCII letters folded to lower case, a
// prefix before the longer name. -1 when the folder cannot be read.
int dir_list(const char* folder, int kinds, DirList& out);

// Starts a program (command line as one text) hidden and detached, without
// waiting and keeping no handle. true when the process was created.
bool start_program(const char* command_line);

// The current directory (UTF-8, "/" separators).
std::string current_dir();
// Folder of the running executable (UTF-8, "/" separators, no trailing "/").
std::string program_folder();
// Makes the folder the current directory. 0 or -1.
int change_dir(const char* path);
// The system's temporary folder (UTF-8, "/" separators).
std::string system_temp_dir();
