// The response reader: head in a fixed buffer, body streamed to a file.
// Every phase works byte by byte where it has to, so a response may arrive
// split at any position.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "service/cloud/http_client.h"
#include "service/core/text.h"

namespace {

enum Phase {
  kHead = 0,
  kBody,
  kChunkSize,
  kChunkData,
  kChunkEnd,    // the line end after a chunk's data
  kChunkEndLf,  // its "\n" after a "\r"
  kDone,
  kFailed,
};

// A chunk size line longer than this is no honest server's.
constexpr int kMaxChunkLine = 4096;
// Sixteen hex digits could overflow the count.
constexpr int kMaxSizeDigits = 15;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool contains_folded(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < word.size() && lower(text[i + k]) == lower(word[k])) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

bool starts_folded(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Offset just after the blank line that ends the head: a "\n" followed by
// nothing but "\r" and another "\n". -1 when it has not arrived yet.
int find_head_end(std::string_view head) {
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] != '\n') continue;
    size_t j = i + 1;
    while (j < head.size() && head[j] == '\r') ++j;
    if (j < head.size() && head[j] == '\n') return static_cast<int>(j + 1);
  }
  return -1;
}

// The value of a header (name with its colon), matched at a line start in
// any case, with continuation lines joined by a blank. false when absent.
bool header_text(std::string_view head, std::string_view name, std::string& value) {
  size_t pos = head.find('\n');
  while (pos != std::string_view::npos) {
    size_t line = pos + 1;
    if (!starts_folded(head.substr(line), name)) {
      pos = head.find('\n', line);
      continue;
    }
    value.clear();
    size_t at = line + name.size();
    for (;;) {
      size_t end = head.find('\n', at);
      if (end == std::string_view::npos) end = head.size();
      value.append(trim_view(head.substr(at, end - at)));
      if (end + 1 >= head.size() || (head[end + 1] != ' ' && head[end + 1] != '\t')) break;
      value += ' ';
      at = end + 1;
    }
    return true;
  }
  return false;
}

// The status code: the number after the first blank of the status line.
int status_of(std::string_view head) {
  size_t end = head.find('\n');
  std::string_view line = head.substr(0, end);
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return -1;
  size_t pos = blank;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  int status = 0, digits = 0;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && digits < 4) {
    status = status * 10 + (line[pos++] - '0');
    ++digits;
  }
  return digits == 3 ? status : -1;
}

// A decimal length without sign; -1 when it is none or absurdly large.
int64_t length_of(std::string_view text) {
  text = trim_view(text);
  if (text.empty() || text.size() > 18) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

int fail(HttpResponseReader* r) {
  r->phase = kFailed;
  return -1;
}

int done(HttpResponseReader* r) {
  r->phase = kDone;
  return 1;
}

void delete_output(const HttpResponseReader* r) {
  if (r->out_file[0]) file_delete(r->out_file);
}

// Opened and closed for every portion, so the file is complete on disk
// whenever the loop runs something else.
bool append_output(const HttpResponseReader* r, const char* data, size_t n) {
  if (!r->out_file[0] || n == 0) return true;
  FILE* f = file_open(r->out_file, "ab");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

// Acts on a complete head ending at r->consumed: 0 body follows, 1
// complete, -1 failed, 2 an interim answer (1xx) that was skipped.
int take_head(HttpResponseReader* r) {
  std::string_view head(r->header, static_cast<size_t>(r->consumed));
  r->status = status_of(head);
  if (r->status < 100) return -1;
  // 101 would switch protocols, which this client does not speak.
  if (r->status < 200) return r->status == 101 ? -1 : 2;
  std::string value;
  // The body would be stored as compressed bytes: refuse any coding.
  if (header_text(head, "content-encoding:", value) && !value.empty() && !starts_folded(value, "identity")) return -1;
  if (header_text(head, "transfer-encoding:", value) && contains_folded(value, "chunked")) {
    delete_output(r);
    r->chunk = 1;
    r->phase = kChunkSize;
    return 0;
  }
  // These never carry a body.
  if (r->status == 204 || r->status == 304) return 1;
  if (!header_text(head, "content-length:", value)) return -1;
  int64_t length = length_of(value);
  if (length < 0) return -1;
  if (length == 0) return 1;
  delete_output(r);
  r->remaining = length;
  r->phase = kBody;
  return 0;
}

// Reads the head from the piece; 0 more needed, 1 done, -1 failed, 2 body
// follows. *used counts the piece bytes moved into the buffer.
int read_head(HttpResponseReader* r, const char* data, size_t length, size_t* used) {
  for (;;) {
    if (r->consumed > 0) {
      std::memmove(r->header, r->header + r->consumed, static_cast<size_t>(r->fill - r->consumed));
      r->fill -= r->consumed;
      r->consumed = 0;
    }
    size_t room = kHttpHeaderBuffer - static_cast<size_t>(r->fill);
    size_t take = length - *used < room ? length - *used : room;
    std::memcpy(r->header + r->fill, data + *used, take);
    r->fill += static_cast<int>(take);
    *used += take;
    int end = find_head_end(std::string_view(r->header, static_cast<size_t>(r->fill)));
    if (end < 0) return r->fill == static_cast<int>(kHttpHeaderBuffer) ? -1 : 0;
    r->consumed = end;
    int rc = take_head(r);
    if (rc == 2) continue;  // the real answer follows the interim one
    if (rc == 0) return 2;
    return rc;
  }
}

// One byte of a chunk size line; 1 when the body ended, -1 on failure.
int chunk_size_byte(HttpResponseReader* r, char c) {
  if (++r->line_bytes > kMaxChunkLine) return -1;
  if (c == '\n') {
    if (r->size_digits == 0) return -1;
    if (r->chunk_size == 0) return 1;  // the last chunk; trailers are not read
    r->remaining = r->chunk_size;
    r->chunk_size = 0;
    r->size_digits = 0;
    r->line_bytes = 0;
    r->phase = kChunkData;
    return 0;
  }
  int h = hex_digit(c);
  // Digits end at the first other byte; extensions after it are ignored.
  if (h >= 0 && r->size_digits == r->line_bytes - 1) {
    if (++r->size_digits > kMaxSizeDigits) return -1;
    r->chunk_size = r->chunk_size * 16 + h;
  }
  return 0;
}

// Consumes bytes of the body phases from one source; returns the bytes
// used, and sets *rc to 1 (complete) or -1 (failed) when the body ends.
size_t body_bytes(HttpResponseReader* r, const char* data, size_t n, int* rc) {
  size_t used = 0;
  while (used < n && *rc == 0) {
    switch (r->phase) {
      case kBody:
      case kChunkData: {
        size_t take = static_cast<uint64_t>(r->remaining) < n - used ? static_cast<size_t>(r->remaining) : n - used;
        if (!append_output(r, data + used, take)) {
          *rc = -1;
          break;
        }
        used += take;
        r->remaining -= static_cast<int64_t>(take);
        if (r->remaining > 0) break;
        if (r->phase == kBody) {
          *rc = 1;
          break;
        }
        ++r->chunk;
        r->phase = kChunkEnd;
        break;
      }
      case kChunkEnd:
      case kChunkEndLf: {
        char c = data[used++];
        // The data's line end is skipped exactly once; a bare "\n" is
        // taken as well. Anything else means the sizes were wrong.
        if (c == '\r' && r->phase == kChunkEnd) {
          r->phase = kChunkEndLf;
        } else if (c == '\n') {
          r->phase = kChunkSize;
        } else {
          *rc = -1;
        }
        break;
      }
      case kChunkSize:
        *rc = chunk_size_byte(r, data[used++]);
        break;
      default:
        *rc = -1;
        break;
    }
  }
  return used;
}

}  // namespace

int http_response_reset(HttpResponseReader* r, const char* out_file) {
  *r = HttpResponseReader{};
  if (!out_file) return 0;
  size_t n = std::strlen(out_file);
  if (n >= sizeof r->out_file) {
    r->phase = kFailed;
    return -1;
  }
  std::memcpy(r->out_file, out_file, n);
  return 0;
}

int http_response_feed(HttpResponseReader* r, const char* data, size_t length) {
  if (r->phase == kDone) return 1;
  if (r->phase == kFailed) return -1;
  if (!data) length = 0;
  size_t used = 0;
  if (r->phase == kHead) {
    int rc = read_head(r, data, length, &used);
    if (rc == 1) return done(r);
    if (rc < 0) return fail(r);
    if (rc == 0) return 0;
  }
  int rc = 0;
  // Body bytes come first from what the head buffer still holds.
  if (r->consumed < r->fill) {
    r->consumed += static_cast<int>(body_bytes(r, r->header + r->consumed, static_cast<size_t>(r->fill - r->consumed), &rc));
  }
  if (rc == 0 && used < length) body_bytes(r, data + used, length - used, &rc);
  if (rc > 0) return done(r);
  if (rc < 0) return fail(r);
  return 0;
}
