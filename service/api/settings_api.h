// The system settings items of the device API: identity, passwords,
// language, network, wireless and mail settings. Reads come from the
// in-memory settings of the supervision and from "user/config.inf"; writes
// go to "user/config.inf" at once (and to the in-memory copy for name,
// remark, language and the administrator's password). Event thread only.
#pragma once
#include <string>

// State files of a wireless module, in the folder of the service's markers
// ("/tmp" from the root of the current drive; see marker_path). Without
// them the wireless items answer false.
constexpr const char* kWifiConfigFile = "wifi_config";   // a wireless module is configured
constexpr const char* kApConfigFile = "ap_config";       // it has an access-point mode
constexpr const char* kWifiApListFile = "wifi_ap_list";  // visible access points, ';' between
constexpr const char* kSerialNumberFile = "psno";

// Capacities of "set" values (with the NUL); a longer value is refused.
constexpr int kApiNameMax = 120;  // bytes of a name or remark
constexpr int kApiNetworkCapacity = 128;
constexpr int kApiSsidCapacity = 128;
constexpr int kApiWifiPassCapacity = 64;
constexpr int kApiMailSubjectCapacity = 64;
constexpr int kApiMailReceiverCapacity = 512;
constexpr int kApiMailLanguageCapacity = 16;
// Longest language code "set" takes.
constexpr int kApiLanguageMax = 31;

// The settings items of "get": "info", "name", "time", "ifconfig", "wifi",
// "wifi_ap", "email". Appends; 0 (nothing appended) for another item.
int api_settings_get(int user, const char* item, std::string& out);

// One member of a "set" document: key and value (a string member decoded,
// an array raw). Appends "true" or "false"; 0 (nothing appended) for a key
// that is no setting.
int api_set(int user, const char* key, const char* value, std::string& out);
