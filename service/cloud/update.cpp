#include "service/cloud/update.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "service/cloud/http_client.h"
#include "service/cloud/webpack.h"
#include "service/core/clock.h"
#include "service/core/file_util.h"
#include "service/core/profile.h"
#include "service/core/text.h"

// The build passes the public half of the package signing key as 64 hex
// digits; the private half never enters the source tree.
#ifndef KV_PACK_PUBLIC_KEY
#define KV_PACK_PUBLIC_KEY ""
#endif

namespace {

constexpr const char* kAppInfo = "appinfo.inf";

bool g_running = false;
uint32_t g_started = 0;
bool g_have_test_key = false;
uint8_t g_test_key[kPackKeyBytes];

bool builtin_key(uint8_t out[kPackKeyBytes]) {
  const char* hex = KV_PACK_PUBLIC_KEY;
  if (std::strlen(hex) != 2 * kPackKeyBytes) return false;
  for (int i = 0; i < kPackKeyBytes; ++i) {
    unsigned v = 0;
    if (std::sscanf(hex + 2 * i, "%2x", &v) != 1) return false;
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

void say(const char* text, const char* value = "") {
  std::printf(text, value);
  std::fflush(stdout);
}

void chain_end() { g_running = false; }

bool ret_ok(const char* result) {
  // {"ret":0,...}: the value begins with "0" only for a 200 answer.
  const char* at = std::strstr(result, "\"ret\":");
  return at && at[6] == '0';
}

std::string info_value(const char* key) {
  std::string value = profile_get(kBuildInfo, kPackSection, key);
  return std::string(trim_view(value));
}

int start(const std::string& url, const char* out, HttpCompletion done) {
  std::string seconds = std::to_string(kUpdateDownloadSeconds);
  const char* argv[] = {"ahttp", url.c_str(), "-out", out, "-t", seconds.c_str()};
  return http_client_start(argv, 6, done);
}

void install_download() {
  std::string pack, signature;
  if (file_read_all(kPackDownload, pack, kWebpackSizeMax) <= 0 ||
      file_read_all(kPackSignatureDownload, signature, 4096) != kPackSignatureBytes) {
    say("www update refused: package or signature missing\n");
    return;
  }
  uint8_t key[kPackKeyBytes];
  const uint8_t* use = g_have_test_key ? g_test_key : (builtin_key(key) ? key : nullptr);
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(pack.data()), pack.size());
  std::span<const uint8_t> sig(reinterpret_cast<const uint8_t*>(signature.data()), signature.size());
  if (!use || !pack_signature_ok(bytes, sig, std::span<const uint8_t>(use, kPackKeyBytes))) {
    say("www update refused: bad signature\n");
    return;
  }
  if (!webpack_verify(bytes) || webpack_install(bytes) != 0) {
    say("www update refused: bad package\n");
    return;
  }
  // The proved package becomes the one on disk; the next start then finds
  // the build it installed.
  file_replace(kPackDownload, "pack.www");
  std::string build = info_value("build");
  if (build.empty()) {
    file_delete(kBuildFile);
  } else {
    file_write_atomic(kBuildFile, build);
  }
  say("www updated to %s\n", build.c_str());
}

void package_done(const char* const*, int, const char* result) {
  if (ret_ok(result) && file_size(kPackDownload) > 0) install_download();
  file_delete(kPackDownload);
  file_delete(kPackSignatureDownload);
  chain_end();
}

void signature_done(const char* const*, int, const char* result) {
  std::string url = info_value("url");
  if (!ret_ok(result) || file_size(kPackSignatureDownload) != kPackSignatureBytes || url.empty() ||
      start(url, kPackDownload, package_done) != 0) {
    file_delete(kPackSignatureDownload);
    chain_end();
  }
}

void query_done(const char* const*, int, const char* result) {
  if (!ret_ok(result) || path_kind(kBuildInfo) != 2) {
    chain_end();
    return;
  }
  std::string build = info_value("build"), url = info_value("url"), sig = info_value("sig");
  if (build.empty() || url.empty() || webpack_installed_build() >= parse_int(build.c_str())) {
    chain_end();
    return;
  }
  // An unsigned offer is never installed: without the signature a package
  // fetched over plain HTTP could come from anyone on the way.
  if (sig.empty()) {
    say("www update refused: no signature offered\n");
    chain_end();
    return;
  }
  file_delete(kPackDownload);
  file_delete(kPackSignatureDownload);
  if (start(sig, kPackSignatureDownload, signature_done) != 0) chain_end();
}

}  // namespace

int webpack_check_update() {
  if (g_running && tick_diff(tick_ms(), g_started) < static_cast<int32_t>(kUpdateStaleMs)) return -1;
  ProfileList app = profile_read_section(kAppInfo, "[app]");
  std::string values[4];
  const char* keys[4] = {"os", "appid", "version", "update"};
  for (int i = 0; i < 4; ++i) {
    const std::string* v = app.find(keys[i]);
    if (!v || v->empty() || v->size() > static_cast<size_t>(kUpdateValueMax)) return -1;
    values[i] = *v;
  }
  std::string url = values[3] + "/?os=" + values[0] + "&appid=" + values[1] + "&version=" + values[2];
  dir_create("var");
  file_delete(kBuildInfo);
  const char* argv[] = {"ahttp", url.c_str(), "-out", kBuildInfo};
  g_running = true;
  g_started = tick_ms();
  if (http_client_start(argv, 4, query_done) != 0) {
    g_running = false;
    return -1;
  }
  return 0;
}

bool webpack_update_running() { return g_running; }

void update_set_public_key(const uint8_t* key32) {
  g_have_test_key = key32 != nullptr;
  if (key32) std::memcpy(g_test_key, key32, kPackKeyBytes);
}
