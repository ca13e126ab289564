// Serial port access underneath the UPS link: open with the fixed line
// settings of every UPS protocol (8N1, no flow control, DTR and RTS on),
// read without ever waiting, write, discard pending input, close. The link
// reaches these only through the sport_ops table, which tests replace.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

// A port handle; 0 and -1 are never valid.
using sport_t = int64_t;
inline bool sport_valid(sport_t handle) { return handle != 0 && handle != -1; }

// A port as the system names it: "COM3" on Windows, "/dev/ttyUSB0" on Linux.
constexpr int kPortNameCapacity = 128;  // with the terminating zero
struct PortName {
  char text[kPortNameCapacity];
};

// Opens and configures the port; the handle, or -1.
sport_t sport_open(const char* name, int32_t baud);
// Closes a valid handle; always 0.
int sport_close(sport_t handle);
// Reads and discards whatever is buffered (bounded); always 0.
int sport_drain(sport_t handle);
// Bytes placed into buffer, 0 when nothing is waiting, -1 on failure.
int sport_read(sport_t handle, uint8_t* buffer, int length);
// Bytes written, or -1. budget_ms 0: one write call; > 0: until that many
// ms have passed; < 0: until everything is written.
int sport_write(sport_t handle, const uint8_t* data, int length, int budget_ms);

// The port-operation table of the serial link type, slots in this order.
struct SportOps {
  sport_t (*open_name)(const char* name, int32_t baud);  // forwards to open
  sport_t (*open)(const char* name, int32_t baud);
  int (*close)(sport_t handle);
  int (*drain)(sport_t handle);
  int (*read)(sport_t handle, uint8_t* buffer, int length);
  int (*write)(sport_t handle, const uint8_t* data, int length, int budget_ms);
};
extern const SportOps sport_ops;

// Discovery helpers.
// 0 when the port exists and nobody holds it (opened and closed again at
// once, without touching its settings), else -1.
int sport_probe(const char* name);
// The machine's serial ports in a stable order, at most out.size(); the
// count. root is the place the system lists them (nullptr: the system's
// own; Linux: a /sys/class/tty-like folder; Windows: a registry key under
// HKEY_LOCAL_MACHINE). Nothing is opened.
int sport_list_system(std::span<PortName> out, const char* root);
// The system's usual source for sport_list_system.
const char* sport_system_root();

// "COM%d" for port numbers up to 9, "\\.\COM%d" from 10: the device path
// of a Windows COM name. Its length, or -1 when the name carries no port
// number above 0.
int sport_com_path(std::string_view name, std::span<char> out);
