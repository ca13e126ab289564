// The UPS link: finds the port on which a UPS answers, detects which driver
// it speaks, and polls it in cycles, publishing each complete cycle into the
// status record. One link per service, on the event thread.
#pragma once
#include <cstdint>
#include <span>

#include "service/net/fmessage.h"
#include "service/ups/serial_port.h"
#include "service/ups/ups_status.h"

constexpr uint32_t LINK_DISCOVER = XF_TIMER + 1;
constexpr uint32_t LINK_DETECT = XF_TIMER + 10;
constexpr uint32_t LINK_QUERY = XF_TIMER + 20;
constexpr uint32_t LINK_COMMAND = XF_TIMER + 30;
constexpr uint32_t LINK_TICK = XF_TIMER + 10;  // on the PortLink

constexpr int kMaxPorts = 16;
constexpr int kReceiveCapacity = 512;
constexpr int kFrameCapacity = 128;  // with the terminator
constexpr int kReplyTimeoutMs = 2000;
constexpr int kLinkTickMs = 100;

// link_state values: what is in flight on the port.
constexpr int LINK_IDLE = 0, LINK_DETECTING = 1, LINK_QUERYING = 2, LINK_COMMANDING = 4;

struct PortLink;
// data != nullptr: bytes arrived, returns the frame length; data ==
// nullptr: the transaction ended with status (0 ok, -1 time-out, -2 bad).
using FrameHandler = int (*)(PortLink* link, uint8_t* data, int length, int status);

// The open port.
struct PortLink : Handler {
  sport_t handle;
  int last_result;
  uint32_t start_tick;
  char frame[kFrameCapacity];
  int frame_len;
  int sent;
  int want_reply;
  uint8_t rx[kReceiveCapacity + 1];
  int rx_len;
  FrameHandler frame_handler;
  int drain_count;
  const SportOps* ops;
  int reply_timeout;
};

// The link controller.
struct LinkController : Handler {
  PortName port_list[kMaxPorts];
  int port_count;
  int port_index;
  int driver_pos;
  int step_index;
  int link_state;
  int full_scan;
  int rescan_done;
  int retry_count;
  int link_type;
  int link_rate;
  int reply_ok;
  uint32_t link_error_count;
  UpsStatus status_template;
  PortLink* link;
};
extern LinkController link_controller;

// Start-up entry: registers the controller and starts port discovery (full
// scan, discovery now and every 2000 ms until ports are found). 0 or -1.
int ups_link_start();
// Module stop: unregisters the controller and the open port, closes the port
// and releases it with every queued command. 0 (also when not started).
int ups_link_stop();

// link_begin of the start-up; the same as ups_link_start.
int link_begin();
// Hands a frame to the open port. 0 accepted, -1 refused (no link, a
// transaction pending, or a frame that does not fit).
int link_send(const char* frame, int length, int want_reply);
bool link_exists();

// Called after every published cycle: the supervision's alarm evaluation.
using UpsCycleHook = void (*)();
void ups_set_cycle_hook(UpsCycleHook hook);

// Discovery seams. probe: 0 when the named port is usable; list_system: the
// machine's ports (see sport_list_system).
struct PortScanOps {
  int (*probe)(const char* name);
  int (*list_system)(std::span<PortName> out);
};
extern const PortScanOps port_scan_ops;
// Replaces the port operations and the discovery (tests); nullptr restores
// the system's.
void ups_link_set_ops(const SportOps* ops, const PortScanOps* scan);
