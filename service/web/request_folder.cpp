#include "service/web/request_folder.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "service/core/file_util.h"

struct RequestFolder {
  char path[kRequestFolderPathMax + 1] = {};
  size_t path_length = 0;
  bool debug = false;
  struct File {
    std::string name;
    std::string data;
  };
  std::vector<File> files;
};

namespace {

// The only lock of the web server: folder names must stay unique even if a
// second thread ever names folders.
std::mutex g_counter_lock;
int32_t g_counter = 0;

// Folders of requests still being answered; a handful at most.
std::vector<RequestFolder*> g_live;

bool is_live_name(std::string_view path) {
  for (const RequestFolder* f : g_live) {
    if (std::string_view(f->path, f->path_length) == path) return true;
  }
  return false;
}

struct Resolved {
  RequestFolder* folder = nullptr;
  std::string_view name;  // empty: the folder itself
};

// Finds the live folder a path lies in; only direct children count, as the
// folders hold no sub-folders.
Resolved resolve(const char* path) {
  Resolved r;
  if (!path) return r;
  std::string_view p(path);
  for (RequestFolder* f : g_live) {
    std::string_view base(f->path, f->path_length);
    if (!p.starts_with(base)) continue;
    std::string_view rest = p.substr(base.size());
    if (rest.empty()) {
      r.folder = f;
      return r;
    }
    if (rest[0] != '/' || rest.size() < 2) continue;
    rest.remove_prefix(1);
    if (rest.find('/') != std::string_view::npos) continue;
    r.folder = f;
    r.name = rest;
    return r;
  }
  return r;
}

RequestFolder::File* find_file(RequestFolder* f, std::string_view name) {
  for (auto& file : f->files) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

int disk_write(const char* path, std::string_view data) {
  FILE* out = file_open(path, "wb");
  if (!out) return -1;
  bool ok = std::fwrite(data.data(), 1, data.size(), out) == data.size();
  if (std::fclose(out) != 0) ok = false;
  return ok ? 0 : -1;
}

}  // namespace

RequestFolder* request_folder_open(bool debug) {
  auto* folder = new RequestFolder;
  folder->debug = debug;
  {
    std::lock_guard<std::mutex> hold(g_counter_lock);
    bool named = false;
    for (int attempt = 0; attempt < 10000 && !named; ++attempt) {
      g_counter = g_counter == INT32_MAX ? 1 : g_counter + 1;
      int n = std::snprintf(folder->path, sizeof folder->path, kRequestFolderFormat, "tmp", static_cast<int>(g_counter));
      if (n <= 0 || n >= static_cast<int>(sizeof folder->path)) break;
      folder->path_length = static_cast<size_t>(n);
      // Only a folder that goes to the disk can meet one left there.
      named = !is_live_name(folder->path) && (!debug || path_kind(folder->path) == 0);
    }
    if (!named) {
      delete folder;
      return nullptr;
    }
  }
  if (debug) {
    dir_create("tmp");
    if (dir_create(folder->path) != 0) {
      delete folder;
      return nullptr;
    }
  }
  g_live.push_back(folder);
  return folder;
}

void request_folder_close(RequestFolder* folder) {
  if (!folder) return;
  for (size_t i = 0; i < g_live.size(); ++i) {
    if (g_live[i] == folder) {
      g_live.erase(g_live.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  delete folder;
}

const char* request_folder_path(const RequestFolder* folder) { return folder ? folder->path : ""; }

void request_counter_reset() {
  std::lock_guard<std::mutex> hold(g_counter_lock);
  g_counter = 0;
}

int request_file_write(const char* path, std::string_view data) {
  Resolved r = resolve(path);
  if (!r.folder) return path ? disk_write(path, data) : -1;
  if (r.name.empty()) return -1;
  if (r.folder->debug && disk_write(path, data) != 0) return -1;
  RequestFolder::File* file = find_file(r.folder, r.name);
  if (!file) {
    r.folder->files.push_back({std::string(r.name), {}});
    file = &r.folder->files.back();
  }
  file->data.assign(data);
  return 0;
}

int64_t request_file_read(const char* path, std::string& out, int64_t max) {
  Resolved r = resolve(path);
  if (!r.folder) return path ? file_read_all(path, out, max) : -1;
  RequestFolder::File* file = r.name.empty() ? nullptr : find_file(r.folder, r.name);
  if (!file || static_cast<int64_t>(file->data.size()) > max) return -1;
  out = file->data;
  return static_cast<int64_t>(out.size());
}

int request_file_kind(const char* path) {
  Resolved r = resolve(path);
  if (!r.folder) return path ? path_kind(path) : 0;
  if (r.name.empty()) return 1;
  return find_file(r.folder, r.name) ? 2 : 0;
}

int64_t request_file_size(const char* path) {
  Resolved r = resolve(path);
  if (!r.folder) {
    if (!path) return -1;
    // One look at the disk for the usual case; only a size of 0 needs the
    // second to tell an empty file from none.
    int64_t size = file_size(path);
    if (size > 0) return size;
    return path_kind(path) == 2 ? 0 : -1;
  }
  RequestFolder::File* file = r.name.empty() ? nullptr : find_file(r.folder, r.name);
  return file ? static_cast<int64_t>(file->data.size()) : -1;
}

int request_file_delete(const char* path) {
  Resolved r = resolve(path);
  if (!r.folder) return path ? file_delete(path) : -1;
  if (r.name.empty()) return -1;
  for (size_t i = 0; i < r.folder->files.size(); ++i) {
    if (r.folder->files[i].name != r.name) continue;
    r.folder->files.erase(r.folder->files.begin() + static_cast<std::ptrdiff_t>(i));
    if (r.folder->debug) file_delete(path);
    return 0;
  }
  return -1;
}

const std::string* request_file_memory(const char* path) {
  Resolved r = resolve(path);
  if (!r.folder || r.name.empty()) return nullptr;
  RequestFolder::File* file = find_file(r.folder, r.name);
  return file ? &file->data : nullptr;
}

int request_file_free_name(const char* folder, int first, const char* extension, std::span<char> out) {
  if (!folder || !extension || out.empty()) return -1;
  for (int n = first; n <= first + 1000; ++n) {
    int len = std::snprintf(out.data(), out.size(), "%s/%d%s", folder, n, extension);
    if (len <= 0 || static_cast<size_t>(len) >= out.size()) {
      out[0] = '\0';
      return -1;
    }
    if (request_file_kind(out.data()) == 0) return len;
  }
  out[0] = '\0';
  return -1;
}
