#include "service/api/device_api.h"

#include <cstring>
#include <string_view>

#include "service/api/api_text.h"
#include "service/api/settings_api.h"
#include "service/core/json.h"
#include "service/core/text.h"
#include "service/supervision/alarm.h"
#include "service/supervision/alarm_log.h"
#include "service/supervision/device_table.h"
#include "service/supervision/record.h"
#include "service/supervision/supervision.h"
#include "service/ups/ups_command.h"
#include "service/ups/ups_status.h"
#include "service/web/web_gate.h"
#include "service/web/web_request.h"

namespace {

constexpr std::string_view kBadRequest = "{\"answer\":\"410 bad request\"}";
// Results of the UPS command writers are short texts.
constexpr int kCommandResultCapacity = 512;

bool (*g_remote_probe)() = nullptr;

int append(std::string& out, std::string_view text) {
  out.append(text);
  return static_cast<int>(text.size());
}

int append_bool(std::string& out, bool value) { return append(out, value ? "true" : "false"); }

const char* skip_ws(const char* p) {
  while (is_space(*p)) ++p;
  return p;
}

// The raw value of member key of the document, into value (at most
// kApiValueCapacity bytes); false when the member is absent or longer.
bool member_raw(const char* doc, const char* key, std::span<char> value) {
  int offset = json_get(doc, key, {});
  if (offset < 0) return false;
  int n = json_raw_value(doc + offset, value);
  return n > 0 && n < static_cast<int>(value.size());
}

// The elements of the array text, each decoded into kApiItemCapacity
// bytes, handed to answer in order; an element that does not fit is
// handed over as nullptr. Blanks and extra commas between elements are
// passed over; the walk ends at the closing bracket or at the first
// element that cannot be read.
template <class Answer>
void each_element(const char* array, Answer&& answer) {
  const char* p = array + 1;
  char item[kApiItemCapacity];
  for (;;) {
    p = skip_ws(p);
    if (*p == ',') {
      ++p;
      continue;
    }
    if (*p == ']' || *p == '\0') return;
    int n = json_value(p, item);
    if (n < 0) return;
    answer(n < static_cast<int>(sizeof item) ? item : nullptr);
    p = json_skip_value(p);
    if (!p) return;
    p = skip_ws(p);
    if (*p != ',' && *p != ']') return;
  }
}

// The members of the object text: key (decoded, kJsonKeyCapacity bytes)
// and value (strings decoded, anything else raw, kApiValueCapacity bytes);
// either is nullptr when it does not fit.
template <class Answer>
void each_member(const char* object, Answer&& answer) {
  const char* p = object + 1;
  char key[kJsonKeyCapacity];
  std::string value(kApiValueCapacity, '\0');
  for (;;) {
    p = skip_ws(p);
    if (*p == ',') {
      ++p;
      continue;
    }
    if (*p != '"') return;
    int k = json_value(p, key);
    if (k < 0) return;
    p = json_skip_scalar(p);
    if (!p) return;
    p = skip_ws(p);
    if (*p != ':') return;
    p = skip_ws(p + 1);
    int v = json_value(p, std::span<char>(value.data(), value.size()));
    if (v < 0) return;
    answer(k < static_cast<int>(sizeof key) ? key : nullptr, v < static_cast<int>(value.size()) ? value.c_str() : nullptr);
    p = json_skip_value(p);
    if (!p) return;
    p = skip_ws(p);
    if (*p != ',' && *p != '}') return;
  }
}

// The answer frame: each result followed by ',', the last ',' replaced
// by the closing brackets.
class ReturnList {
 public:
  explicit ReturnList(std::string& out) : out_(out), start_(out.size()) { out_ += "{\"return\":["; }
  // Runs one item writer; "false" in its place when it writes nothing.
  template <class Writer>
  void add(Writer&& writer) {
    if (writer() <= 0) out_ += "false";
    out_ += ',';
  }
  int close() {
    if (out_.back() == ',') out_.pop_back();
    out_ += "]}";
    return static_cast<int>(out_.size() - start_);
  }

 private:
  std::string& out_;
  size_t start_;
};

// The log items of "get" clear the logs with "-z"; like the clearing
// commands, that is for the administrator only.
bool clears_log(std::string_view item) { return item == "alarm_log -z" || item == "record_log -z"; }

bool probe_remote() { return !web_request_text().empty() && gate_last_request_remote(); }

}  // namespace

int device_request(const char* request, std::span<char> out) {
  if (!out.empty()) out[0] = '\0';
  if (!request) return 0;
  std::string answer;
  const DeviceEntry* d = device_get(0);
  int n = d && d->query ? d->query(kApiAdmin, request, answer) : 0;
  if (n <= 0) {
    answer.clear();
    std::string_view r(request);
    if (!r.starts_with("@")) answer = "{}";
    else if (r == "@get_ready") answer = "true";
    else if (r == "@get_info") answer = "{\"type\":\"unkown\"}";
  }
  if (answer.size() >= out.size()) return static_cast<int>(answer.size());
  std::memcpy(out.data(), answer.data(), answer.size());
  out[answer.size()] = '\0';
  return static_cast<int>(answer.size());
}

void device_api_install() { device_set_query_hook(api_request); }

int api_request(int user, const char* request, std::string& out) {
  if (!request) return 0;
  if (request[0] == '@') return api_call(user, request, out);
  int n = api_document(user, request, out);
  if (n > 0) return n;
  return append(out, kBadRequest);
}

int api_call(int user, const char* name, std::string& out) {
  std::string_view f(name ? name : "");
  if (f == "@get_ready") return append(out, "true");
  if (f == "@data_ready") return append_bool(out, data_state == 2);
  if (f == "@get_info") return api_device_info(out);
  if (f == "@get_name") return append(out, api_field(sup_settings.name));
  if (f == "@get_language") return append(out, api_field(sup_settings.language));
  if (f == "@get_pass") {
    // The password leaves the service only to pages of this machine; a
    // peer elsewhere has already proved it knows it at the gate.
    if ((user != kApiAdmin && user != kApiSecondUser) || api_caller_remote()) return append(out, "false");
    return append(out, settings_password(user));
  }
  return append(out, "unkown function");
}

int api_document(int user, const char* request, std::string& out) {
  if (!request) return 0;
  // Only whole documents: a cut or garbled request is refused as such
  // instead of being answered from whatever part of it scans.
  auto length = std::strlen(request);
  if (length > static_cast<size_t>(INT32_MAX) || json_check(request, static_cast<int>(length)) < 0) return 0;
  const char* doc = skip_ws(request);
  std::string raw(kApiValueCapacity, '\0');
  std::span<char> value(raw.data(), raw.size());

  if (member_raw(doc, "get", value) && raw[0] == '[') {
    ReturnList list(out);
    each_element(raw.c_str(), [&](const char* item) {
      list.add([&] { return item ? api_get(user, item, out) : 0; });
    });
    return list.close();
  }
  if (member_raw(doc, "set", value) && raw[0] == '{') {
    ReturnList list(out);
    each_member(raw.c_str(), [&](const char* key, const char* member) {
      list.add([&] { return key && member ? api_set(user, key, member, out) : 0; });
    });
    return list.close();
  }
  if (member_raw(doc, "cmd", value) && raw[0] == '[') {
    ReturnList list(out);
    each_element(raw.c_str(), [&](const char* item) {
      list.add([&] { return item ? api_cmd(user, item, out) : 0; });
    });
    return list.close();
  }
  return 0;
}

int api_get(int user, const char* item, std::string& out) {
  if (!item) return 0;
  int n = api_settings_get(user, item, out);
  if (n > 0) return n;
  n = api_status(item, out);
  if (n > 0) return n;
  if (clears_log(item) && user != kApiAdmin) return append(out, "false");
  n = alarm_api_get(item, out);
  if (n > 0) return n;
  return record_api_get(item, out);
}

int api_cmd(int user, const char* item, std::string& out) {
  if (!item) return 0;
  std::string_view it(item);
  if (it == "clear_alarm_log") {
    if (user != kApiAdmin) return append(out, "false");
    alarm_log_clear();
    return append(out, "true");
  }
  if (it == "clear_record_log") {
    if (user != kApiAdmin) return append(out, "false");
    record_log_clear();
    return append(out, "true");
  }
  char result[kCommandResultCapacity];
  if (it.starts_with("@")) return api_append_result(out, result, ups_command_json(item, result));
  int allowed = sup_policy.app_shutdown != 0 ? 1 : 0;
  return api_append_result(out, result, api_command(item, result, allowed));
}

int api_device_info(std::string& out) {
  const size_t start = out.size();
  out += "{\"type\":";
  api_append_string(out, kApiDeviceType);
  out += ",\"version\":3,\"release\":";
  api_append_string(out, api_field(sup_settings.release));
  if (data_state == 2) {
    out += ",\"brand\":";
    api_append_string(out, api_field(ups_status.brand));
    out += ",\"model\":";
    api_append_string(out, api_field(ups_status.model));
    out += ",\"firmware\":";
    api_append_string(out, api_field(ups_status.firmware));
  }
  out += ",\"pcode\":";
  api_append_string(out, api_field(sup_settings.pcode));
  out += ",\"name\":";
  api_append_string(out, api_field(sup_settings.name));
  out += '}';
  return static_cast<int>(out.size() - start);
}

bool api_caller_remote() { return g_remote_probe ? g_remote_probe() : probe_remote(); }

void api_set_remote_probe(bool (*probe)()) { g_remote_probe = probe; }
