// Ed25519 signatures of web packages, through libgcrypt.
#include <gcrypt.h>

#include <cstring>

#include "service/cloud/update.h"

namespace {

void gcrypt_ready() {
  static bool done = false;
  if (done) return;
  done = true;
  // The script engine may have initialised the library already; a second
  // version check is harmless.
  if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  }
}

// A field of an S-expression of exactly size bytes into out.
bool take(gcry_sexp_t from, const char* token, uint8_t* out, size_t size) {
  gcry_sexp_t part = gcry_sexp_find_token(from, token, 0);
  if (!part) return false;
  size_t length = 0;
  const char* data = gcry_sexp_nth_data(part, 1, &length);
  bool ok = data && length == size;
  if (ok) std::memcpy(out, data, size);
  gcry_sexp_release(part);
  return ok;
}

// What is signed is the SHA-512 digest of the package: libgcrypt keeps the
// length of an S-expression value in 16 bits, so a package of more than
// 64 KiB cannot be handed over whole.
gcry_sexp_t message(std::span<const uint8_t> data) {
  uint8_t digest[64];
  gcry_md_hash_buffer(GCRY_MD_SHA512, digest, data.data(), data.size());
  gcry_sexp_t m = nullptr;
  if (gcry_sexp_build(&m, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))", static_cast<int>(sizeof digest),
                      digest) != 0)
    return nullptr;
  return m;
}

}  // namespace

bool pack_signature_ok(std::span<const uint8_t> data, std::span<const uint8_t> signature,
                       std::span<const uint8_t> public_key) {
  if (signature.size() != kPackSignatureBytes || public_key.size() != kPackKeyBytes) return false;
  if (data.size() > 0x7fffffffu) return false;
  gcrypt_ready();
  gcry_sexp_t key = nullptr, sig = nullptr, msg = message(data);
  bool ok = msg && gcry_sexp_build(&key, nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                                   kPackKeyBytes, public_key.data()) == 0 &&
            gcry_sexp_build(&sig, nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32,
                            signature.data() + 32) == 0 &&
            gcry_pk_verify(sig, msg, key) == 0;
  gcry_sexp_release(key);
  gcry_sexp_release(sig);
  gcry_sexp_release(msg);
  return ok;
}

int pack_sign(std::span<const uint8_t> data, std::span<const uint8_t> private_key, uint8_t signature[64]) {
  if (private_key.size() != kPackKeyBytes || data.size() > 0x7fffffffu) return -1;
  gcrypt_ready();
  gcry_sexp_t key = nullptr, sig = nullptr, msg = message(data);
  bool ok = msg && gcry_sexp_build(&key, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                                   kPackKeyBytes, private_key.data()) == 0 &&
            gcry_pk_sign(&sig, msg, key) == 0 && take(sig, "r", signature, 32) && take(sig, "s", signature + 32, 32);
  gcry_sexp_release(key);
  gcry_sexp_release(sig);
  gcry_sexp_release(msg);
  return ok ? 0 : -1;
}

int pack_keygen(uint8_t private_key[32], uint8_t public_key[32]) {
  gcrypt_ready();
  gcry_sexp_t parms = nullptr, key = nullptr;
  bool ok = gcry_sexp_build(&parms, nullptr, "(genkey(ecc(curve Ed25519)(flags eddsa)))") == 0 &&
            gcry_pk_genkey(&key, parms) == 0 && take(key, "d", private_key, 32) && take(key, "q", public_key, 32);
  gcry_sexp_release(parms);
  gcry_sexp_release(key);
  return ok ? 0 : -1;
}
