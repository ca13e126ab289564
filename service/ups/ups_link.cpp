// The link loop. Every wait is a timer and no port operation waits, so the
// event loop is never held up by a silent or babbling UPS. The console
// lines are fixed texts that users and support read.
#include "service/ups/ups_link.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_console.h"
#include "service/ups/ups_driver.h"

LinkController link_controller;

namespace {

constexpr const char* kAppInfo = "appinfo.inf";
constexpr const char* kConfig = "user/config.inf";
constexpr const char* kDeviceTypeFile = "tmp/device_type";
constexpr uint32_t kDiscoverMs = 2000;
constexpr uint32_t kDetectMs = 1000;
constexpr uint32_t kBusyRetryMs = 1000;
constexpr uint32_t kCommandRetryMs = 200;
constexpr uint32_t kNextPortMs = 100;
// Candidates taken from the system's list before probing.
constexpr int kMaxCandidates = 64;

int list_system_default(std::span<PortName> out) { return sport_list_system(out, nullptr); }

const SportOps* g_ops = &sport_ops;
const PortScanOps* g_scan = &port_scan_ops;
UpsCycleHook g_cycle_hook = nullptr;
bool g_started = false;

LinkController& ctl() { return link_controller; }
const UpsDriver& driver() { return ups_drivers[ctl().driver_pos]; }
bool driver_valid() { return ctl().driver_pos >= 0 && ctl().driver_pos < kDriverCount; }

DriverStep* step_at(int index) {
  if (!driver_valid() || index < 0) return nullptr;
  DriverStep* steps = driver().steps;
  // The end marker has no parser; no index runs past it.
  for (int i = 0; i < index; ++i)
    if (!steps[i].parser) return nullptr;
  return &steps[index];
}
bool step_exists(int index) {
  DriverStep* s = step_at(index);
  return s && s->parser;
}

void arm(uint32_t id, uint32_t ms) { fmessage_timer(&link_controller, id, ms); }
void stop_timer(uint32_t id) { fmessage_timer(&link_controller, id, 0); }
void post(uint32_t id) { fmessage_post(&link_controller, id, 0, 0); }

// ---------------------------------------------------------------------------
// Link error accounting.

void count_error() {
  uint32_t n = ctl().link_error_count;
  ctl().link_error_count = n + 1;
  if (n == 5) {
    ups_print("+++ link error report ++++\n");
    link_error = 1;
    return;
  }
  ups_print("+++ link error %u\n", n + 1);
}

void count_success() {
  ups_print("+++ link OK\n");
  ctl().link_error_count = 0;
  link_error = 0;
}

void account_last() {
  if (ctl().link && ctl().link->last_result == -1) count_error();
  else count_success();
}

// ---------------------------------------------------------------------------
// Port discovery.

// A COM name is shown by its number, as the port list always was; other
// systems' names are shown whole.
std::string port_label(const char* name) {
  std::string_view n(name);
  if (n.size() > 3 && n.substr(0, 3) == "COM" && n[3] >= '0' && n[3] <= '9') return std::string(n.substr(3));
  return std::string(n);
}

bool listed(const PortName* list, int count, std::string_view name) {
  for (int i = 0; i < count; ++i)
    if (name == list[i].text) return true;
  return false;
}

void add_port(std::string_view name) {
  LinkController& c = ctl();
  if (c.port_count >= kMaxPorts || name.empty()) return;
  if (name.size() >= static_cast<size_t>(kPortNameCapacity)) return;
  if (listed(c.port_list, c.port_count, name)) return;
  std::string text(name);
  if (g_scan->probe(text.c_str()) != 0) return;
  copy_cut(c.port_list[c.port_count].text, text);
  ++c.port_count;
}

void detection_begin();

void discover() {
  LinkController& c = ctl();
  ups_print("\n----------------------------\n");
  ups_print("start .....\n\n");
  c.port_count = 0;
  // Ports named in the application file come first, in their order; with
  // serial_scan = 0 they are the only ones (tests, simulators, and machines
  // whose serial console must never be written to).
  SplitList configured = text_split(profile_get(kAppInfo, "[app]", "serial_ports"), ';');
  for (const std::string& name : configured.items) add_port(name);
  std::string scan = profile_get(kAppInfo, "[app]", "serial_scan");
  if (scan.empty() || parse_int(scan.c_str()) != 0) {
    PortName candidates[kMaxCandidates];
    int n = g_scan->list_system(std::span<PortName>(candidates));
    if (n > kMaxCandidates) n = kMaxCandidates;
    for (int i = 0; i < n; ++i) add_port(std::string_view(candidates[i].text, strnlen(candidates[i].text, kPortNameCapacity)));
  }
  if (c.port_count == 0) {
    count_error();
    ups_print("no serial port found, try later\n");
    return;
  }
  stop_timer(LINK_DISCOVER);
  std::string line = "find serial port : ";
  for (int i = 0; i < c.port_count; ++i) line += port_label(c.port_list[i].text) + " ";
  ups_print("%s\n", line.c_str());
  c.port_index = 0;
  detection_begin();
}

// ---------------------------------------------------------------------------
// Starting and ending the link.

int on_frame(PortLink* link, uint8_t* data, int length, int status);
void link_tick(Handler* self, uint32_t id, int64_t a, int64_t b);

void link_release() {
  PortLink* link = ctl().link;
  if (!link) return;
  ctl().link = nullptr;
  fmessage_unregister(link);
  link->ops->close(link->handle);
  delete link;
}

void link_start(int type, int rate) {
  LinkController& c = ctl();
  link_release();
  c.link_type = type;
  c.link_rate = rate;
  if (type == kLinkSerial && c.port_index >= 0 && c.port_index < c.port_count) {
    const char* name = c.port_list[c.port_index].text;
    sport_t handle = g_ops->open(name, rate);
    if (sport_valid(handle)) {
      ups_print("async sport start ( %s, %d ) OK\n", name, rate);
      auto* link = new PortLink{};
      link->handler = link_tick;
      link->handle = handle;
      link->frame_handler = on_frame;
      link->ops = g_ops;
      link->reply_timeout = kReplyTimeoutMs;
      fmessage_register(link, 0);
      c.link = link;
    }
  }
  c.link_state = LINK_IDLE;
  command_queue_clear();
}

void link_end() {
  link_release();
  arm(LINK_DISCOVER, kDiscoverMs);
}

// ---------------------------------------------------------------------------
// Detection.

void detection_begin() {
  LinkController& c = ctl();
  command_queue_clear();
  link_release();
  c.driver_pos = 0;
  c.step_index = -1;
  c.link_type = kLinkSerial;
  c.link_rate = 2400;
  if (!c.full_scan) {
    // After a lost link the remembered driver is confirmed first.
    c.full_scan = 1;
    c.rescan_done = 0;
    int pos = driver_find(profile_get(kConfig, "[modules]", "device_type"));
    if (pos >= 0) {
      c.link_type = ups_drivers[pos].link_type;
      c.link_rate = ups_drivers[pos].bit_rate;
      c.driver_pos = pos;
      c.full_scan = 0;
    }
  }
  c.link_state = LINK_IDLE;
  arm(LINK_DETECT, kDetectMs);
  c.status_template = ups_status;
}

void select_driver() {
  LinkController& c = ctl();
  const char* name = driver().name;
  ups_print("\n--- select [ %s ] --- \n", name);
  if (name[0]) file_write_atomic(kDeviceTypeFile, name);
  else file_delete(kDeviceTypeFile);
  if (profile_get(kConfig, "[modules]", "device_type") != name)
    profile_write_value(kConfig, "[modules]", "device_type", name);
  data_state = 1;
  arm(LINK_QUERY, static_cast<uint32_t>(driver().step_delay));
  c.step_index = 0;
  ups_begin_cycle();
}

void detection_complete() {
  LinkController& c = ctl();
  uint32_t delay = static_cast<uint32_t>(driver().step_delay);
  if (!c.full_scan) {
    select_driver();
    return;
  }
  if (c.driver_pos != 0 && !c.rescan_done) {
    // A driver further down the table wins only if those before it fail
    // a second time.
    c.rescan_done = 1;
    c.driver_pos = 0;
    c.step_index = -1;
    arm(LINK_DETECT, delay);
    return;
  }
  c.full_scan = 0;
  ups_print("detect LAST once\n");
  c.step_index = 0;
  arm(LINK_DETECT, delay);
}

bool step_skipped_in_detection(const DriverStep* s) {
  if (!(s->flags & (STEP_DETECT | STEP_QUERY))) return true;
  return (s->flags & STEP_OPTIONAL) && ctl().full_scan;
}

void detect_step() {
  LinkController& c = ctl();
  stop_timer(LINK_DETECT);
  if (c.link_state != LINK_IDLE) {
    arm(LINK_DETECT, kDetectMs);
    return;
  }
  if (!driver_valid()) c.driver_pos = 0;
  if (c.step_index == -1) {
    ups_status = c.status_template;
    data_state = 0;
    ups_print("\ndetect ...... %s\n\n", driver().name);
    driver().init();
    link_start(c.link_type, c.link_rate);
    if (c.link) {
      c.step_index = 0;
      c.retry_count = 0;
      c.link->drain_count = 3;
      post(LINK_DETECT);
    } else {
      arm(LINK_DISCOVER, kDiscoverMs);
    }
    return;
  }
  if (c.step_index == 0) driver().clear_work();
  // The end marker stops the advance: it has neither flag.
  DriverStep* s = step_at(c.step_index);
  while (s && s->parser && step_skipped_in_detection(s)) s = step_at(++c.step_index);
  if (!s || !(s->flags & (STEP_DETECT | STEP_QUERY))) {
    detection_complete();
    return;
  }
  ups_print("\nDetect [%d] %s\n", c.step_index, s->command);
  if (link_send(s->command, s->length, 1) == 0) c.link_state = LINK_DETECTING;
  else arm(LINK_DETECT, kDetectMs);
}

// ---------------------------------------------------------------------------
// Polling and commands.

void publish_cycle() {
  LinkController& c = ctl();
  driver().cycle_end(c.step_index);
  ups_publish();
  if (data_state == 1) data_state = 2;
  arm(LINK_QUERY, static_cast<uint32_t>(driver().poll_interval));
  c.step_index = 0;
  ups_begin_cycle();
  if (g_cycle_hook) g_cycle_hook();
}

void command_send(uint32_t message) {
  LinkController& c = ctl();
  CommandEntry* head = command_queue_head();
  // The command timer has done its work once the queue is empty or the
  // head is on its way; left running it would wake the loop for nothing.
  bool own_timer = message == LINK_COMMAND;
  if (!c.link || !head) {
    if (own_timer) stop_timer(LINK_COMMAND);
    return;
  }
  if (c.link_state == LINK_DETECTING || c.link_state == LINK_QUERYING) {
    arm(message, kCommandRetryMs);
    return;
  }
  if (c.link_state == LINK_COMMANDING) return;
  if (link_send(head->frame, head->length, head->want_reply) == 0) {
    c.link_state = LINK_COMMANDING;
    if (own_timer) stop_timer(LINK_COMMAND);
  } else {
    arm(message, kBusyRetryMs);
  }
}

void query_step() {
  LinkController& c = ctl();
  if (!c.link) return;
  stop_timer(LINK_QUERY);
  if (c.link_state != LINK_IDLE) {
    arm(LINK_QUERY, kBusyRetryMs);
    return;
  }
  if (command_queue_head()) {
    arm(LINK_QUERY, kBusyRetryMs);
    command_send(LINK_QUERY);
    return;
  }
  // Only query steps that are still supported run in a poll cycle.
  DriverStep* s = step_at(c.step_index);
  while (s && s->parser && (s->flags & (STEP_QUERY | STEP_UNSUPPORTED)) != STEP_QUERY) s = step_at(++c.step_index);
  if (!s || !s->parser || !(s->flags & STEP_QUERY)) {
    publish_cycle();
    return;
  }
  ups_print("\nQuery [%d] %s\n", c.step_index, s->command);
  if (link_send(s->command, s->length, 1) == 0) c.link_state = LINK_QUERYING;
  else arm(LINK_QUERY, kBusyRetryMs);
}

void controller_handler(Handler*, uint32_t id, int64_t, int64_t) {
  switch (id) {
    case LINK_DISCOVER: discover(); break;
    case LINK_DETECT: detect_step(); break;
    case LINK_QUERY: query_step(); break;
    case LINK_COMMAND: command_send(LINK_COMMAND); break;
    default: break;
  }
}

// ---------------------------------------------------------------------------
// End of a transaction.

void detection_step_end(bool failed) {
  LinkController& c = ctl();
  DriverStep* s = step_at(c.step_index);
  if (!s || !s->parser) return;
  uint32_t delay = static_cast<uint32_t>(driver().step_delay);
  bool optional = s->flags & STEP_OPTIONAL;
  if (failed && !optional) {
    if (c.port_index + 1 < c.port_count) {
      ++c.port_index;
      c.step_index = -1;
      arm(LINK_DETECT, kNextPortMs);
      return;
    }
    c.port_index = 0;
    if (c.full_scan) {
      ++c.driver_pos;
    } else {
      int previous = c.retry_count++;
      if (previous != 2) {
        arm(LINK_DETECT, delay);
        return;
      }
      account_last();
      c.full_scan = 1;
      c.rescan_done = 0;
      c.driver_pos = 0;
    }
    c.step_index = -1;
    if (c.driver_pos < kDriverCount) {
      arm(LINK_DETECT, kNextPortMs);
      return;
    }
    c.driver_pos = 0;
    account_last();
    link_end();
    return;
  }
  if (failed) s->flags |= STEP_UNSUPPORTED;
  else s->flags &= ~STEP_UNSUPPORTED;
  ++c.step_index;
  if (step_exists(c.step_index)) {
    arm(LINK_DETECT, delay);
    return;
  }
  detection_complete();
  if (c.link) {
    if (c.link->last_result == 0) count_success();
    else count_error();
  }
}

void query_step_end(bool failed) {
  LinkController& c = ctl();
  if (failed) {
    ups_print("read FAIL\n");
    account_last();
    link_end();
    return;
  }
  ups_print("read OK\n");
  ++c.step_index;
  if (step_exists(c.step_index)) {
    arm(LINK_QUERY, static_cast<uint32_t>(driver().step_delay));
    return;
  }
  int last = c.link ? c.link->last_result : 0;
  publish_cycle();
  if (last == 0) count_success();
  else count_error();
}

// The controller's frame handler.
int on_frame(PortLink*, uint8_t* data, int length, int status) {
  LinkController& c = ctl();
  if (data) {
    data[length] = 0;
    ups_print("%s\n", reinterpret_cast<const char*>(data));
    std::string_view received(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    int r = driver().split_frame(received);
    // Only a frame inside what was received is parsed; the splitter's
    // "too long" verdict is no frame at all.
    if (r > 0 && r <= length) {
      if (c.link_state == LINK_DETECTING || c.link_state == LINK_QUERYING) {
        DriverStep* s = step_at(c.step_index);
        if (s && s->parser) c.reply_ok = s->parser(c.step_index, received.substr(0, static_cast<size_t>(r)), r, driver().steps);
        else c.reply_ok = 0;
      } else if (command_queue_head()) {
        c.reply_ok = 1;
        command_store_answer(data, r);
      }
    }
    return r;
  }
  bool failed = status < 0 || c.reply_ok == 0;
  int state = c.link_state;
  c.link_state = LINK_IDLE;
  switch (state) {
    case LINK_DETECTING: detection_step_end(failed); break;
    case LINK_QUERYING: query_step_end(failed); break;
    case LINK_COMMANDING: command_transaction_end(failed); break;
    default: break;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The port's own tick: drain, write, collect the reply, time out.

void end_transaction(PortLink* link, int status) {
  link->frame_len = 0;
  // The handler may end the link and release this object: nothing after.
  link->frame_handler(link, nullptr, 0, status);
}

void link_tick(Handler* self, uint32_t id, int64_t, int64_t) {
  if (id != LINK_TICK) return;
  auto* link = static_cast<PortLink*>(self);
  if (link->drain_count > 0) {
    --link->drain_count;
    link->ops->drain(link->handle);
    return;
  }
  if (link->frame_len == 0) {
    fmessage_timer(link, LINK_TICK, 0);
    return;
  }
  if (tick_diff(tick_ms(), link->start_tick) > link->reply_timeout) {
    link->last_result = -1;
    end_transaction(link, -1);
    return;
  }
  if (link->sent < link->frame_len) {
    if (link->sent == 0) link->ops->drain(link->handle);
    int n = link->ops->write(link->handle, reinterpret_cast<const uint8_t*>(link->frame) + link->sent,
                             link->frame_len - link->sent, 0);
    if (n > 0) link->sent += n;
    return;
  }
  if (!link->want_reply) {
    end_transaction(link, 0);
    return;
  }
  int room = kReceiveCapacity - link->rx_len;
  if (room <= 0) {
    link->last_result = -1;
    end_transaction(link, -2);
    return;
  }
  int n = link->ops->read(link->handle, link->rx + link->rx_len, room);
  if (n <= 0) return;
  if (n > room) n = room;
  link->rx_len += n;
  int r = link->frame_handler(link, link->rx, link->rx_len, 0);
  int status;
  if (r == kFrameTooLong || r > link->rx_len) {
    link->last_result = -1;
    status = -2;
  } else if (r <= 0) {
    link->rx_len = -r < link->rx_len ? -r : link->rx_len;
    if (r == -kReceiveCapacity) {
      link->last_result = -1;
      status = -2;
    } else {
      return;
    }
  } else {
    link->last_result = 0;
    status = 0;
  }
  end_transaction(link, status);
}

}  // namespace

const PortScanOps port_scan_ops{sport_probe, list_system_default};

void ups_link_set_ops(const SportOps* ops, const PortScanOps* scan) {
  g_ops = ops ? ops : &sport_ops;
  g_scan = scan ? scan : &port_scan_ops;
}

void ups_set_cycle_hook(UpsCycleHook hook) { g_cycle_hook = hook; }

bool link_exists() { return link_controller.link != nullptr; }

int link_send(const char* frame, int length, int want_reply) {
  PortLink* link = ctl().link;
  if (!link || link->frame_len != 0) return -1;
  if (!frame || length <= 0 || length >= kFrameCapacity) return -1;
  std::memcpy(link->frame, frame, static_cast<size_t>(length));
  link->frame[length] = '\0';
  link->sent = 0;
  link->rx_len = 0;
  link->frame_len = length;
  link->want_reply = want_reply;
  link->start_tick = tick_ms();
  if (link->drain_count == 0) link->drain_count = 1;
  fmessage_timer(link, LINK_TICK, kLinkTickMs);
  fmessage_post(link, LINK_TICK, 0, 0);
  return 0;
}

int link_begin() {
  if (g_started) ups_link_stop();
  LinkController& c = link_controller;
  // A whole fresh controller: a restart must not inherit half a detection,
  // and an error count from before would keep the link failure report
  // from ever being made again once the supervision has reset the flag.
  c = LinkController{};
  c.handler = controller_handler;
  c.driver_pos = 0;
  c.step_index = -1;
  c.link_type = kLinkSerial;
  c.link_rate = 2400;
  drivers_reset_steps();
  if (fmessage_register(&c, 0) != 0) return -1;
  g_started = true;
  c.full_scan = 1;
  c.rescan_done = 0;
  arm(LINK_DISCOVER, kDiscoverMs);
  post(LINK_DISCOVER);
  return 0;
}

int ups_link_start() { return link_begin(); }

int ups_link_stop() {
  fmessage_unregister(&link_controller);
  link_release();
  command_queue_clear();
  link_controller.link_state = LINK_IDLE;
  g_started = false;
  return 0;
}
