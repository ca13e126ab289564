#include "service/supervision/log_pager.h"

#include "service/core/file_util.h"
#include "service/supervision/sup_common.h"

namespace {
constexpr size_t kBufferBytes = 64 * 1024;
}

FixedLogReader::~FixedLogReader() {
  if (file_) std::fclose(file_);
}

int FixedLogReader::open(const char* path, int header, int entry_length) {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  count_ = first_ = filled_ = 0;
  if (entry_length <= 0 || header < 0) return -1;
  int64_t size = file_size(path);
  if (size < header) return -1;
  file_ = file_open(path, "rb");
  if (!file_) return -1;
  header_ = header;
  length_ = entry_length;
  count_ = (size - header) / entry_length;
  size_t per = kBufferBytes / static_cast<size_t>(entry_length);
  buffer_.resize((per > 0 ? per : 1) * static_cast<size_t>(entry_length));
  return 0;
}

const uint8_t* FixedLogReader::at(int64_t index) {
  if (!file_ || index < 0 || index >= count_) return nullptr;
  if (index >= first_ && index < first_ + filled_) return buffer_.data() + (index - first_) * length_;
  const auto len = static_cast<size_t>(length_);
  // A backward walk gets the entries before the one asked for.
  auto capacity = static_cast<int64_t>(buffer_.size() / len);
  int64_t start = index;
  if (index < first_ && index + capacity > first_) start = index - capacity + 1 > 0 ? index - capacity + 1 : 0;
  if (file_seek(file_, header_ + start * static_cast<int64_t>(len)) != 0) return nullptr;
  size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
  first_ = start;
  filled_ = static_cast<int64_t>(got / len);
  if (index >= first_ + filled_) return nullptr;
  return buffer_.data() + (index - first_) * length_;
}

bool LogPage::add(const std::string& entry) {
  // The comma after the entry counts as part of it.
  if (text_.size() >= kLogPageDirect && text_.size() + entry.size() + 1 + 4 >= kLogPageLimit) return false;
  text_ += entry;
  text_ += ',';
  ++entries_;
  return true;
}

int LogPage::finish(std::string& out) {
  if (entries_ == 0) return 0;
  text_.back() = ']';
  out += text_;
  return static_cast<int>(text_.size());
}

int log_list_rescan(FixedLogReader& log, int64_t from, LogEntryFormat format, void* context, std::string& out) {
  const int64_t n = log.count();
  int64_t skip = 0;
  std::string text;
  for (;;) {
    LogPage page;
    int64_t left_over = 0;
    bool full = false;
    for (int64_t i = skip; i < n; ++i) {
      const uint8_t* e = log.at(i);
      if (!e) break;
      if (full) {
        if (format(e, log.entry_length(), from, nullptr, context)) ++left_over;
        continue;
      }
      text.clear();
      if (!format(e, log.entry_length(), from, &text, context)) continue;
      if (page.add(text)) continue;
      if (from != -1) break;
      full = true;
      left_over = 1;
    }
    if (!full) return page.finish(out);
    skip += left_over;
  }
}
