// Per-request folders "tmp/httpd_tmp_%d": the request, its session, the
// answer list and the generated heads and pages of one HTTP request.
//
// Creating, writing, reading and deleting a real folder for every request
// costs far more than answering a small file, so the files of a live folder
// are held in memory. In debug mode every write also goes to the disk and
// the folder is kept there afterwards, so a look into "tmp" shows exactly
// what was exchanged. Every reader goes through request_file_*, which finds
// the same files with the same content in both modes. Event thread only,
// except the counter, which is guarded by a lock.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct RequestFolder;

// The folder name prefix under "tmp".
constexpr const char* kRequestFolderFormat = "%s/httpd_tmp_%d";
// Longest folder path.
constexpr int kRequestFolderPathMax = 255;

// Takes the next counter value (skipping names of live folders, and with
// debug names that exist on the disk) and opens a folder of that name; with
// debug it is created on the disk too.
// nullptr when no name could be formed or the debug folder not be created.
RequestFolder* request_folder_open(bool debug);
// Forgets the folder and its memory files; a debug folder stays on the
// disk. nullptr is ignored.
void request_folder_close(RequestFolder* folder);
const char* request_folder_path(const RequestFolder* folder);

// Sets the request counter to 0 (start-up).
void request_counter_reset();

// Files by path. A path "<live folder>/<name>" names a file of that folder;
// any other path is a file of the disk.
// Writes (replaces) a whole file. 0 or -1.
int request_file_write(const char* path, std::string_view data);
// Whole file into out; its length, or -1 when absent or longer than max.
int64_t request_file_read(const char* path, std::string& out, int64_t max = 64 << 20);
// 0 = absent, 1 = folder, 2 = file (path_kind for the disk).
int request_file_kind(const char* path);
// Size in bytes; -1 when there is no such file.
int64_t request_file_size(const char* path);
// Deletes one file. 0 or -1.
int request_file_delete(const char* path);
// The content of a memory file, or nullptr for a disk path or a missing
// file. Valid until that file is written or its folder closed.
const std::string* request_file_memory(const char* path);

// Forms "%s/%d%s" (folder, the first number from first whose name is free,
// extension) in out. Its length, or -1 when out is too small or no number
// up to first + 1000 is free.
int request_file_free_name(const char* folder, int first, const char* extension, std::span<char> out);
