// Reading logs of fixed-length entries and cutting their listings into the
// pages of the device API: at most 1200 bytes, the newest page for a start
// time of -1.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr size_t kLogPageLimit = 1200;
// Below this many bytes an entry is taken whatever its size, so a page is
// never empty.
constexpr size_t kLogPageDirect = 176;

// Entries by index, read through a buffer that follows forward scans and
// seeks for jumps. Entries beyond the last whole one do not exist.
class FixedLogReader {
 public:
  FixedLogReader() = default;
  ~FixedLogReader();
  FixedLogReader(const FixedLogReader&) = delete;
  FixedLogReader& operator=(const FixedLogReader&) = delete;
  // 0, or -1 when the file cannot be opened or is shorter than the header.
  int open(const char* path, int header, int entry_length);
  int64_t count() const { return count_; }
  int entry_length() const { return length_; }
  // The entry, or nullptr past the end or on a read failure.
  const uint8_t* at(int64_t index);

 private:
  FILE* file_ = nullptr;
  int header_ = 0;
  int length_ = 0;
  int64_t count_ = 0;
  std::vector<uint8_t> buffer_;
  int64_t first_ = 0;   // index of the first buffered entry
  int64_t filled_ = 0;  // entries in the buffer
};

// One page under construction: "[" then entries each followed by ",".
class LogPage {
 public:
  // Adds the entry (without its comma) if the page rule allows it.
  bool add(const std::string& entry);
  int entries() const { return entries_; }
  // Appends the finished page ("]" in place of the last comma) to out; its
  // length, 0 (nothing appended) when the page is empty.
  int finish(std::string& out);

 private:
  std::string text_ = "[";
  int entries_ = 0;
};

// Whether an entry is listed for the given start time (false when it is too
// old or its time is not valid); with text given, also its text. Entries
// that do not fit a page are only counted, so text is then nullptr.
using LogEntryFormat = bool (*)(const uint8_t* entry, int length, int64_t from, std::string* text, void* context);

// The listing as the service has always built it: entries in file order
// later than from; when one does not fit, a positive or zero from ends the
// page there, while from = -1 counts the entries left over and scans again
// from the start of the file skipping that many more, until the newest
// ones fit. Appends the page to out; its length, 0 when no entry is listed.
int log_list_rescan(FixedLogReader& log, int64_t from, LogEntryFormat format, void* context, std::string& out);
