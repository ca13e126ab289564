#include "service/web/http_parse.h"

#include <cstring>

#include "service/core/text.h"

namespace {

// Offset just after the first empty line (a line holding nothing or just
// "\r"); -1 when there is none yet. Searching resumes where the last call
// stopped, so a head trickling in byte by byte costs linear time.
int find_head_end(std::string_view data, RequestScan* scan) {
  if (data.empty()) return -1;
  if (scan->searched == 0) {
    if (data[0] == '\n') return 1;
    if (data[0] == '\r') {
      if (data.size() < 2) return -1;
      if (data[1] == '\n') return 2;
    }
  }
  size_t from = scan->searched;
  for (;;) {
    size_t nl = data.find('\n', from);
    if (nl == std::string_view::npos) {
      scan->searched = static_cast<uint32_t>(data.size());
      return -1;
    }
    // Undecided until the bytes after this line end have arrived.
    if (nl + 1 >= data.size() || (data[nl + 1] == '\r' && nl + 2 >= data.size())) {
      scan->searched = static_cast<uint32_t>(nl);
      return -1;
    }
    if (data[nl + 1] == '\n') return static_cast<int>(nl + 2);
    if (data[nl + 1] == '\r' && data[nl + 2] == '\n') return static_cast<int>(nl + 3);
    from = nl + 1;
  }
}

bool request_line_ok(std::string_view head) {
  std::string_view line = head.substr(0, head.find('\n'));
  if (line.size() <= 5) return false;
  if (line.find(" HTTP/") == std::string_view::npos) return false;
  size_t spaces = 0;
  for (char c : line) spaces += c == ' ';
  return spaces == 2;
}

// Content-Length as the server has always read it: the exact spelling at a
// line start, then spaces and tabs, then a number. -1 when present but not
// usable.
int64_t content_length_of(std::string_view head) {
  const std::string_view key = "\nContent-Length:";
  size_t at = head.find(key);
  if (at == std::string_view::npos) return 0;
  size_t p = at + key.size();
  while (p < head.size() && (head[p] == ' ' || head[p] == '\t')) ++p;
  char number[24] = {};
  size_t n = 0;
  while (p < head.size() && n + 1 < sizeof number && head[p] != '\r' && head[p] != '\n') number[n++] = head[p++];
  // More decimal digits than the bound has could only wrap around.
  size_t digits = 0;
  while (digits < n && number[digits] >= '0' && number[digits] <= '9') ++digits;
  if (n + 1 >= sizeof number || digits > 9) return -1;
  int32_t value = parse_int(number);
  return value < 0 ? -1 : value;
}

int64_t parse_offset(std::string_view field) {
  char number[24] = {};
  std::string_view f = trim_view(field);
  if (f.empty() || f.size() >= sizeof number) return -1;
  std::memcpy(number, f.data(), f.size());
  return parse_int(number);
}

int64_t clamp(int64_t v, int64_t low, int64_t high) { return v < low ? low : v > high ? high : v; }

}  // namespace

int http_scan(std::string_view received, RequestScan* scan) {
  if (scan->phase == kPhaseHead) {
    int end = find_head_end(received, scan);
    if (end < 0) return kScanMore;
    std::string_view head = received.substr(0, static_cast<size_t>(end));
    if (!request_line_ok(head)) return kScanBad;
    int64_t length = content_length_of(head);
    if (length < 0 || length + end >= static_cast<int64_t>(kReceiveLimit)) return kScanBad;
    scan->head_length = end;
    scan->content_length = static_cast<int>(length);
    if (length == 0) return kScanComplete;
    scan->phase = kPhaseBody;
  }
  if (scan->phase == kPhaseBody) {
    return received.size() >= scan_request_size(*scan) ? kScanComplete : kScanMore;
  }
  return kScanMore;
}

int http_parse_answer(std::string_view answer, bool head_only, std::span<AnswerPart> parts,
                      int64_t (*size_of)(const char* path)) {
  int count = 0;
  size_t pos = 0;
  while (pos < answer.size() && count < static_cast<int>(parts.size())) {
    size_t nl = answer.find('\n', pos);
    std::string_view line = answer.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? answer.size() : nl + 1;
    if (line.starts_with("#")) continue;
    line = trim_view(line);
    if (line.empty()) continue;
    std::string_view fields[3];
    int n = 0;
    size_t start = 0;
    while (n < 3) {
      size_t semi = line.find(';', start);
      fields[n++] = line.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
      if (semi == std::string_view::npos) break;
      start = semi + 1;
    }
    std::string_view path = trim_view(fields[0]);
    if (path.empty() || path.size() > static_cast<size_t>(kMaxPath)) continue;
    AnswerPart& part = parts[count];
    std::memcpy(part.path, path.data(), path.size());
    part.path[path.size()] = '\0';
    int64_t size = size_of ? size_of(part.path) : -1;
    if (size < 0) size = 0;
    int64_t first = n >= 2 ? parse_offset(fields[1]) : 0;
    int64_t last = n >= 3 ? parse_offset(fields[2]) : size;
    part.next = clamp(first, 0, size);
    part.end = clamp(last, part.next, size);
    ++count;
    if (head_only) break;
  }
  return count;
}
