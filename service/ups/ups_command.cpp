// Service commands: the gate, the queue and the answer file.
#include "service/ups/ups_command.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "service/core/file_util.h"
#include "service/core/text.h"
#include "service/ups/ups_driver.h"
#include "service/ups/ups_link.h"
#include "service/ups/ups_status.h"

UpsSchedule ups_schedule;

namespace {

CommandEntry* g_head = nullptr;
int g_count = 0;

constexpr const char* kGateCommands[] = {"#beep",   "#start",  "#down 1", "#down 2",
                                         "#test 0", "#test 1", "#test 2", "#test 3"};

int result(std::span<char> output, std::string_view text) { return copy_cut(output, text); }

bool gate_accepts(std::string_view text) {
  if (text.starts_with("@")) return true;
  if (!text.starts_with("#")) return false;
  if (text.starts_with("#config ")) return true;
  for (const char* c : kGateCommands)
    if (text == c) return true;
  return false;
}

void append_entry(const char* frame, int length, int want_reply) {
  auto* e = new CommandEntry{};
  std::memcpy(e->frame, frame, static_cast<size_t>(length));
  e->frame[length] = '\0';
  e->length = length;
  e->want_reply = want_reply;
  CommandEntry** tail = &g_head;
  while (*tail) tail = &(*tail)->next;
  *tail = e;
  ++g_count;
}

void pop_head() {
  CommandEntry* e = g_head;
  if (!e) return;
  g_head = e->next;
  --g_count;
  delete e;
}

void write_answer(std::string_view bytes) { file_write_atomic(kCommandAnswerFile, bytes); }

// "@" alone: the answer of the last raw frame.
int read_answer(std::span<char> output) {
  FILE* f = file_open(kCommandAnswerFile, "rb");
  if (!f) return result(output, "false");
  char buf[256];
  size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  if (n == 1 && buf[0] == 0x01) return result(output, "cmd fail");
  const UpsDriver& d = ups_drivers[link_controller.driver_pos];
  if (d.format_answer) return d.format_answer(output, std::string_view(buf, n));
  return result(output, "no format function");
}

int submit(const char* text, std::span<char> output) {
  if (!link_exists() || data_state != 2) return result(output, "false");
  std::string_view t(text);
  if (t == "@FFFF") {
    fmessage_post(&link_controller, LINK_QUERY, 0, 0);
    return result(output, "true");
  }
  if (t == "@") return read_answer(output);
  int want_reply = 0;
  if (t.starts_with("@")) {
    file_delete(kCommandAnswerFile);
    want_reply = 1;
  }
  char buffer[kFrameCapacity];
  int length = copy_cut(buffer, t);
  int n = ups_drivers[link_controller.driver_pos].format_command(std::span<char>(buffer), length);
  if (n == 0) return result(output, "true");
  if (n < 0 || n >= kFrameCapacity) return result(output, "false");
  if (g_count >= kCommandQueueMax) return result(output, "false");
  append_entry(buffer, n, want_reply);
  // The first command of an empty queue kicks the sender, also while a
  // detection or query step is in flight: the sender then retries every
  // 200 ms and the command goes out right after that step instead of
  // waiting for the next poll cycle (up to 6 s for a shutdown).
  if (g_count == 1 && link_controller.link_state != LINK_COMMANDING)
    fmessage_post(&link_controller, LINK_COMMAND, 0, 0);
  return result(output, want_reply ? "queued" : "true");
}

int run_json(const std::string& text, std::span<char> output) { return ups_command_json(text.c_str(), output); }

int word_int(const SplitList& w, int n) { return parse_int(w.items[static_cast<size_t>(n)].c_str()); }

int api_config(const SplitList& w, std::span<char> output, int allowed) {
  if (w.count() != 3 || !allowed) return result(output, "false");
  int a = word_int(w, 1), b = word_int(w, 2);
  // Items 1 and 2 only take the values 1 and 2.
  if ((a == 1 || a == 2) && b != 1 && b != 2) return result(output, "false");
  return run_json("#config " + std::to_string(a) + " " + std::to_string(b), output);
}

int api_start(const SplitList& w, std::span<char> output, int allowed) {
  if (!allowed || w.count() > 2) return result(output, "false");
  if (w.count() == 2) {
    if (w.items[1] == "cancel") {
      ups_schedule.restart_time = 0;
      return result(output, "true");
    }
    int s = word_int(w, 1);
    if (s != 0) {
      ups_schedule.restart_time = svc_seconds() + s;
      return result(output, "true");
    }
  }
  ups_schedule.restart_time = 0;
  return run_json("#start", output);
}

int api_down(const SplitList& w, std::span<char> output, int allowed) {
  if (!allowed || w.count() < 1 || w.count() > 3) return result(output, "false");
  if (w.count() == 2 && w.items[1] == "cancel") {
    ups_schedule.shutdown_time = 0;
    ups_schedule.shutdown_kind = 0;
    return result(output, "true");
  }
  int kind = w.count() >= 2 ? word_int(w, 1) : 1;
  int delay = w.count() == 3 ? word_int(w, 2) : 0;
  if (kind != 1 && kind != 2) return result(output, "false");
  if (delay != 0) {
    ups_schedule.shutdown_kind = kind;
    ups_schedule.shutdown_time = svc_seconds() + delay;
    return result(output, "true");
  }
  ups_schedule.shutdown_time = 0;
  ups_schedule.shutdown_kind = 0;
  return run_json("#down " + std::to_string(kind), output);
}

}  // namespace

CommandEntry* command_queue_head() { return g_head; }
int command_queue_count() { return g_count; }

void command_queue_clear() {
  while (g_head) pop_head();
}

void command_transaction_end(bool failed) {
  if (failed) write_answer(std::string_view("\x01", 1));
  else if (g_head) fmessage_post(&link_controller, LINK_QUERY, 0, 0);
  pop_head();
  if (g_head) fmessage_post(&link_controller, LINK_COMMAND, 0, 0);
}

void command_store_answer(const uint8_t* data, int length) {
  if (!data || length < 0) return;
  write_answer(std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(length)));
}

int ups_command(const char* text, std::span<char> output) {
  if (!text) return result(output, "false");
  if (data_state != 2) return result(output, "false");
  std::string_view t(text);
  // Longer texts are no command of this system (the device API never
  // hands one over); refusing them keeps every frame inside its buffer.
  if (t.size() > static_cast<size_t>(kCommandTextMax)) return result(output, "false");
  if (!gate_accepts(t)) return result(output, "false");
  return submit(text, output);
}

int ups_command_json(const char* text, std::span<char> output) {
  char answer[512];
  int n = ups_command(text, answer);
  std::string_view a(answer, static_cast<size_t>(n > 0 ? n : 0));
  if (n <= 0) return result(output, "false");
  if (a == "true" || a == "false" || a.starts_with("[") || a.starts_with("{")) return result(output, a);
  std::string quoted = "\"";
  for (char c : a) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return result(output, quoted);
}

int api_command(const char* item, std::span<char> output, int allowed) {
  if (!item) return 0;
  SplitList w = text_split(item, ' ');
  if (w.count() == 0) return 0;
  const std::string& verb = w.items[0];
  if (verb == "config") return api_config(w, output, allowed);
  if (verb == "start") return api_start(w, output, allowed);
  if (verb == "down") return api_down(w, output, allowed);
  if (verb == "beep") {
    if (!allowed || w.count() != 1) return result(output, "false");
    return run_json("#beep", output);
  }
  if (verb == "test") {
    if (!allowed || w.count() != 2) return result(output, "false");
    return run_json("#test " + std::to_string(word_int(w, 1)), output);
  }
  return 0;
}
