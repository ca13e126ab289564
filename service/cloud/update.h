// The web package update from the update server: a query names the newest
// package, its build and its detached signature; a newer package is
// downloaded, its Ed25519 signature checked against the key built into the
// service, and installed as "www". Runs as chained HTTP requests on the
// event thread.
#pragma once
#include <cstdint>
#include <span>

constexpr const char* kBuildInfo = "var/build.inf";
constexpr const char* kPackSection = "[pack.www]";
// A download lands beside the package and replaces it only once it has
// proved sound, so a bad download never takes the place of a good package.
constexpr const char* kPackDownload = "pack.www.download";
constexpr const char* kPackSignatureDownload = "pack.www.sig";
constexpr int kUpdateValueMax = 127;
constexpr int kUpdateDownloadSeconds = 120;
// A chain whose completion never came (the loop was stopped) no longer
// blocks a new one after this long.
constexpr uint32_t kUpdateStaleMs = 300000;

constexpr int kPackKeyBytes = 32;
constexpr int kPackSignatureBytes = 64;

// The "update_www" service command: starts the query. 0 started, -1 when a
// setting is missing, a chain is still running, or the client refused.
int webpack_check_update();
// True while a query or download of the update runs.
bool webpack_update_running();

// True when signature (64 bytes) is a valid Ed25519 signature of data by
// the holder of public_key (32 bytes).
bool pack_signature_ok(std::span<const uint8_t> data, std::span<const uint8_t> signature,
                       std::span<const uint8_t> public_key);
// Signs data with the 32-byte private key (the Ed25519 seed). 0 or -1.
int pack_sign(std::span<const uint8_t> data, std::span<const uint8_t> private_key, uint8_t signature[64]);
// A fresh key pair. 0 or -1.
int pack_keygen(uint8_t private_key[32], uint8_t public_key[32]);

// The key downloaded packages must be signed with: the one built into the
// service unless a test installs its own (nullptr restores the built-in
// one). Without any key no download is installed.
void update_set_public_key(const uint8_t* key32);
