#include "tests/service/ups/fake_port.h"

#include <cstring>

namespace fake {

Bench* bench = nullptr;

namespace {

constexpr sport_t kFirstHandle = 100;

Device* by_handle(sport_t h) {
  if (!bench) return nullptr;
  sport_t n = kFirstHandle;
  for (auto& [name, dev] : bench->devices) {
    if (n++ == h) return dev.open ? &dev : nullptr;
  }
  return nullptr;
}

sport_t fake_open(const char* name, int32_t) {
  if (!bench) return -1;
  bench->opens.push_back(name);
  sport_t n = kFirstHandle;
  for (auto& [key, dev] : bench->devices) {
    if (key == name) {
      if (!dev.present || dev.open || dev.refuse_open) return -1;
      dev.open = true;
      dev.rx.clear();
      dev.line.clear();
      return n;
    }
    ++n;
  }
  return -1;
}

int fake_close(sport_t h) {
  if (Device* d = by_handle(h)) d->open = false;
  return 0;
}

int fake_drain(sport_t h) {
  if (Device* d = by_handle(h)) d->rx.clear();
  return 0;
}

int fake_read(sport_t h, uint8_t* buffer, int length) {
  Device* d = by_handle(h);
  if (!d || d->unplugged) return -1;
  int n = static_cast<int>(d->rx.size());
  if (n > length) n = length;
  if (n > d->max_read) n = d->max_read;
  std::memcpy(buffer, d->rx.data(), static_cast<size_t>(n));
  d->rx.erase(0, static_cast<size_t>(n));
  return n;
}

int fake_write(sport_t h, const uint8_t* data, int length, int) {
  Device* d = by_handle(h);
  if (!d || d->unplugged) return -1;
  for (int i = 0; i < length; ++i) {
    char c = static_cast<char>(data[i]);
    if (c != '\r') {
      d->line += c;
      continue;
    }
    d->commands.push_back(d->line);
    if (d->answer) d->rx += d->answer(d->line);
    d->line.clear();
  }
  return length;
}

int fake_probe(const char* name) {
  if (!bench) return -1;
  auto it = bench->devices.find(name);
  return it != bench->devices.end() && it->second.present && !it->second.open ? 0 : -1;
}

int fake_list(std::span<PortName> out) {
  int n = 0;
  for (const std::string& name : bench->system_ports) {
    if (n >= static_cast<int>(out.size())) break;
    std::strncpy(out[n].text, name.c_str(), sizeof out[n].text - 1);
    out[n].text[sizeof out[n].text - 1] = '\0';
    ++n;
  }
  return n;
}

}  // namespace

const SportOps ops{fake_open, fake_open, fake_close, fake_drain, fake_read, fake_write};
const PortScanOps scan{fake_probe, fake_list};

Device& Bench::add(const std::string& name, std::function<std::string(const std::string&)> answer) {
  Device& d = devices[name];
  d.name = name;
  d.answer = std::move(answer);
  return d;
}

std::vector<std::string> Bench::all_commands() const {
  std::vector<std::string> all;
  for (const auto& [name, dev] : devices)
    for (const std::string& c : dev.commands) all.push_back(name + ":" + c);
  return all;
}

std::string stk0_ups(const std::string& cmd, std::string* status_bits) {
  if (cmd == "I") return "#Maker Ltd      LS-1000 2.10\r";
  if (cmd == "F") return "#220.0 004 12.00 50.0\r";
  if (cmd == "Q1") return "(230.0 230.0 229.0 012 50.0 2.27 25.0 " + *status_bits + "\r";
  return "";
}

std::string qs_only_ups(const std::string& cmd) {
  if (cmd == "QS") return "(231.0 231.0 230.0 020 50.0 2.20 27.0 00001000\r";
  return "";
}

std::string rtq6_ups(const std::string& cmd) {
  if (cmd == "RT") return "(01.20 0 RT3000 0 3 220 50 12 20 0 3000\r";
  if (cmd == "Q6")
    return "(230.1 229.8 231.0 50.0 220.0 220.1 219.9 50.0 035 032 030 120.1 120.2 028 045 100 30 000 000\r";
  if (cmd == "Q1") return "(230.0 230.0 229.0 012 50.0 2.27 25.0 00001000\r";
  return "";
}

}  // namespace fake
