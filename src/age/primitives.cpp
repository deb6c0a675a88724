// OpenSSL glue for age's primitives.
#include "age/primitives.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/sha.h>

#include <memory>
#include <string>

namespace vesk::age {
namespace {

constexpr std::size_t kTagSize = 16;

struct KdfDeleter {
  void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
  void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
template <class T>
using Owned = std::unique_ptr<T, KdfDeleter>;

EVP_KDF* hkdf_algorithm() {
  // Fetched once: fetching walks the provider tables, which costs more than the KDF.
  static EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  return kdf;
}

// OpenSSL's parameters take non-const pointers and refuse null ones, even for
// empty strings.
void* mutable_ptr(const void* p) {
  static std::uint8_t empty = 0;
  return p ? const_cast<void*>(p) : &empty;
}

}  // namespace

Key32 hkdf_sha256(Bytes ikm, Bytes salt, std::string_view info) {
  Key32 out;
  Owned<EVP_KDF_CTX> ctx(EVP_KDF_CTX_new(hkdf_algorithm()));
  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  OSSL_PARAM* p = params;
  *p++ = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutable_ptr(ikm.data()), ikm.size());
  // OpenSSL refuses a null salt pointer; no salt is the same as an empty one.
  if (!salt.empty()) {
    *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutable_ptr(salt.data()), salt.size());
  }
  *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutable_ptr(info.data()), info.size());
  *p = OSSL_PARAM_construct_end();
  if (!ctx || EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    // Only an allocation failure can get here; a zero key then fails every tag check.
    wipe(out.data(), out.size());
  }
  return out;
}

std::array<std::uint8_t, 32> hmac_sha256(Bytes key, Bytes data) {
  std::array<std::uint8_t, 32> out{};
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out.data(), &len);
  return out;
}

std::array<std::uint8_t, 32> sha256(Bytes data) {
  std::array<std::uint8_t, 32> out{};
  SHA256(data.data(), data.size(), out.data());
  return out;
}

std::array<std::uint8_t, 64> sha512(Bytes data) {
  std::array<std::uint8_t, 64> out{};
  SHA512(data.data(), data.size(), out.data());
  return out;
}

bool aead_open(const Key32& key, std::span<const std::uint8_t, 12> nonce, Bytes ciphertext,
               std::span<std::uint8_t> out) {
  if (ciphertext.size() < kTagSize || out.size() != ciphertext.size() - kTagSize) return false;
  Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  std::size_t body = ciphertext.size() - kTagSize;
  int len = 0;
  bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nonce.data()) == 1 &&
            EVP_DecryptUpdate(ctx.get(), out.data(), &len, ciphertext.data(), static_cast<int>(body)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagSize,
                                mutable_ptr(ciphertext.data() + body)) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), out.data() + len, &len) == 1;
  // Unauthenticated plaintext never leaves this function.
  if (!ok) wipe(out.data(), out.size());
  return ok;
}

std::optional<X25519Key> X25519Key::from_scalar(const Key32& scalar) {
  EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), scalar.size());
  std::array<std::uint8_t, 32> pub{};
  std::size_t len = pub.size();
  if (!pkey || EVP_PKEY_get_raw_public_key(pkey, pub.data(), &len) != 1) {
    EVP_PKEY_free(pkey);
    return std::nullopt;
  }
  return X25519Key(pkey, pub);
}

X25519Key& X25519Key::operator=(X25519Key&& o) noexcept {
  if (this != &o) {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(pkey_));
    pkey_ = o.pkey_;
    public_ = o.public_;
    o.pkey_ = nullptr;
  }
  return *this;
}

X25519Key::~X25519Key() { EVP_PKEY_free(static_cast<EVP_PKEY*>(pkey_)); }

std::optional<Key32> X25519Key::derive(std::span<const std::uint8_t, 32> u) const {
  Owned<EVP_PKEY> peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u.data(), 32));
  if (!peer || !pkey_) return std::nullopt;
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(static_cast<EVP_PKEY*>(pkey_), nullptr));
  Key32 out;
  std::size_t len = out.size();
  // OpenSSL refuses an all-zero shared secret, which is exactly age's low-order check.
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 0) != 1 ||
      EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1 || len != out.size()) {
    return std::nullopt;
  }
  return out;
}

bool equal_ct(Bytes a, Bytes b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace vesk::age
