// The device API: one request text in, one answer text out. A request is
// an "@" function name ("@get_name", "@data_ready", ...) answered by a
// short text, or a JSON document with "get" (items to read), "set"
// (settings to write) or "cmd" (commands to run), answered by
// {"return":[...]} with one result per item, "false" for an item that
// does not exist, is not allowed or fails. The API keeps no state: it
// reads the published UPS status, the alarm table and the settings at the
// moment of the call. Event thread only.
//
// Every caller of this system passes user 1 (the administrator); user 9 is
// the second user of the web package's default configuration. The user
// matters for "@get_pass", the log-clearing commands and settings writes.
#pragma once
#include <cstdint>
#include <span>
#include <string>

constexpr int kApiAdmin = 1;
constexpr int kApiSecondUser = 9;
// Item names and "cmd" items are read into this many bytes (with the NUL):
// longer ones are no item.
constexpr int kApiItemCapacity = 128;
// The "get" and "cmd" arrays, the "set" object and each "set" value are
// read up to this many bytes (with the NUL).
constexpr int kApiValueCapacity = 2048;
// The "type" member of the device information.
constexpr const char* kApiDeviceType = "kelvane";

// The service-side front door, used by the script command
// wlink_request_data: runs the request through the request handler of
// device 0 (api_request, see device_api_install) as user 1. Without a
// handler, or when it answers nothing: "{}" for a request that does not
// start with "@", "true" for "@get_ready", {"type":"unkown"} for
// "@get_info", nothing otherwise.
// The answer goes into out, NUL-terminated; returns its length. When it
// does not fit, out is left "" and the full length (out.size() or more) is
// returned, as the script engine's service commands report it.
int device_request(const char* request, std::span<char> out);

// Puts api_request into the device table's query hook, which the
// supervision start-up hands to device 0. Call before supervision_start.
void device_api_install();

// The request handler (fits DeviceQueryFn): "@" names go to api_call,
// anything else to api_document, and a request that is neither answers
// {"answer":"410 bad request"}. Appends to out; the appended length, never
// 0 for a request that does not start with "@".
int api_request(int user, const char* request, std::string& out);

// The "@" functions: "@get_ready", "@data_ready", "@get_info",
// "@get_name", "@get_pass", "@get_language"; "unkown function" for any
// other name. Appends; the appended length.
int api_call(int user, const char* name, std::string& out);

// A "get", "set" or "cmd" document; 0 (nothing appended) when the request
// is none of the three forms.
int api_document(int user, const char* request, std::string& out);

// One "get" item: the settings items, then the status items, then the
// alarm and record items. 0 (nothing appended) when no item has the name.
int api_get(int user, const char* item, std::string& out);

// One status item ("config", "ident", "rating", "stat", "battery",
// "input", "bypass", "output", "test", "down"); 0 for another name.
int api_status(const char* item, std::string& out);

// The status word of "stat": bit k while alarm k is active, bit 0 also
// while the data are not ready, bit 1 also while the link has failed.
uint32_t api_status_word();

// One "cmd" item: "clear_alarm_log", "clear_record_log", raw "@" frames
// and the UPS command items; 0 (nothing appended) for an unknown item.
int api_cmd(int user, const char* item, std::string& out);

// The device information object of "@get_info" and the item "info".
int api_device_info(std::string& out);

// Whether the request being answered reached the service from a peer
// outside this machine (through the web server's request gate).
bool api_caller_remote();
// Test seam: replaces the question above (nullptr restores it).
void api_set_remote_probe(bool (*probe)());
