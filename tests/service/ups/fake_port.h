// A scripted serial line behind the sport_ops seam: each fake device
// answers complete command lines at once, so the link loop can be driven
// through its slow cases (time-outs, rescans, retries) in virtual time.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "service/ups/serial_port.h"
#include "service/ups/ups_link.h"

namespace fake {

struct Device {
  std::string name;
  // Reply to one command line (without its CR); "" stays silent.
  std::function<std::string(const std::string&)> answer;
  bool present = true;     // the probe finds it
  bool refuse_open = false;  // found by the probe, but the open fails
  bool unplugged = false;  // reads and writes fail
  bool open = false;
  int max_read = 1 << 20;  // bytes one read may deliver
  std::string rx;          // bytes waiting for the service
  std::string line;        // command bytes not yet ended by CR
  std::vector<std::string> commands;
};

// The devices by name, the order in which ports were opened, and the
// system list of discovery.
struct Bench {
  std::map<std::string, Device> devices;
  std::vector<std::string> opens;
  std::vector<std::string> system_ports;
  Device& add(const std::string& name, std::function<std::string(const std::string&)> answer);
  std::vector<std::string> all_commands() const;
};
extern Bench* bench;

extern const SportOps ops;
extern const PortScanOps scan;

// Canned UPS kinds.
std::string stk0_ups(const std::string& cmd, std::string* status_bits);
std::string qs_only_ups(const std::string& cmd);
std::string rtq6_ups(const std::string& cmd);

}  // namespace fake
