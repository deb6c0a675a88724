// OpenSSL glue for age's primitives.
#include "age/primitives.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/sha.h>

#include <memory>
#include <string>

#include "stack.hpp"

namespace vesk::age {
namespace {

constexpr std::size_t kTagSize = 16;

struct KdfDeleter {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
template <class T>
using Owned = std::unique_ptr<T, KdfDeleter>;

// Algorithms are fetched once: a fetch walks the provider tables and costs
// more than hashing a few dozen bytes.
const EVP_MD* sha256_md() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}
const EVP_CIPHER* chacha20_poly1305() {
  static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
  return cipher;
}

constexpr std::size_t kHmacBlock = 64;

// A SHA-256 context kept per thread, initialised. After the final step its
// state is the digest, which here is often a derived key (HMAC and HKDF
// outputs): finishing initialises it again at once, overwriting that state.
EVP_MD_CTX* sha256_ctx() {
  thread_local std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  thread_local bool ready = EVP_DigestInit_ex(ctx.get(), sha256_md(), nullptr) == 1;
  (void)ready;
  return ctx.get();
}

void sha256_finish(EVP_MD_CTX* ctx, std::uint8_t* out) {
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, out, &len);
  EVP_DigestInit_ex(ctx, sha256_md(), nullptr);
}

// SHA-256 over two pieces.
void sha256_two(Bytes a, Bytes b, std::uint8_t* out) {
  stack::reaching(stack::kSha256Depth);
  EVP_MD_CTX* ctx = sha256_ctx();
  EVP_DigestUpdate(ctx, a.data(), a.size());
  EVP_DigestUpdate(ctx, b.data(), b.size());
  sha256_finish(ctx, out);
}

// HMAC-SHA-256 (RFC 2104) on the digest above; the padded keys and the inner
// digest are wiped.
void hmac_into(Bytes key, Bytes data1, Bytes data2, std::uint8_t* out) {
  stack::reaching(stack::kSha256Depth);
  SecretArray<kHmacBlock> block;
  if (key.size() > kHmacBlock) {
    sha256_two(key, {}, block.data());
  } else {
    std::copy(key.begin(), key.end(), block.bytes.begin());
  }
  SecretArray<kHmacBlock> pad;
  SecretArray<32> inner;
  for (std::size_t i = 0; i < kHmacBlock; ++i) pad.bytes[i] = block.bytes[i] ^ 0x36;
  EVP_MD_CTX* ctx = sha256_ctx();
  EVP_DigestUpdate(ctx, pad.data(), kHmacBlock);
  EVP_DigestUpdate(ctx, data1.data(), data1.size());
  EVP_DigestUpdate(ctx, data2.data(), data2.size());
  sha256_finish(ctx, inner.data());
  for (std::size_t i = 0; i < kHmacBlock; ++i) pad.bytes[i] = block.bytes[i] ^ 0x5c;
  sha256_two(pad.span(), inner.span(), out);
}

void* mutable_ptr(const void* p) {
  static std::uint8_t empty = 0;
  return p ? const_cast<void*>(p) : &empty;
}

}  // namespace

Key32 hkdf_sha256(Bytes ikm, Bytes salt, std::string_view info) {
  // RFC 5869 with one output block: PRK = HMAC(salt, IKM), OKM = HMAC(PRK, info || 0x01).
  // An empty salt is the same as no salt (HMAC pads both to zeros).
  Key32 prk, out;
  hmac_into(salt, ikm, {}, prk.data());
  static constexpr std::uint8_t kCounter[] = {0x01};
  hmac_into(prk.span(), as_bytes(info), kCounter, out.data());
  return out;
}

std::array<std::uint8_t, 32> hmac_sha256(Bytes key, Bytes data) {
  std::array<std::uint8_t, 32> out{};
  hmac_into(key, data, {}, out.data());
  return out;
}

std::array<std::uint8_t, 32> sha256(Bytes data) {
  std::array<std::uint8_t, 32> out{};
  sha256_two(data, {}, out.data());
  return out;
}

std::array<std::uint8_t, 64> sha512(Bytes data) {
  std::array<std::uint8_t, 64> out{};
  stack::reaching(stack::kSha512Depth);
  SHA512(data.data(), data.size(), out.data());
  return out;
}

bool aead_open(const Key32& key, std::span<const std::uint8_t, 12> nonce, Bytes ciphertext,
               std::span<std::uint8_t> out) {
  if (ciphertext.size() < kTagSize || out.size() != ciphertext.size() - kTagSize) return false;
  stack::reaching(stack::kAeadDepth);
  thread_local Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  std::size_t body = ciphertext.size() - kTagSize;
  int len = 0;
  bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), chacha20_poly1305(), nullptr, key.data(), nonce.data()) == 1 &&
            EVP_DecryptUpdate(ctx.get(), out.data(), &len, ciphertext.data(), static_cast<int>(body)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagSize,
                                mutable_ptr(ciphertext.data() + body)) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), out.data() + len, &len) == 1;
  // The context is kept for the next call but its key schedule is wiped now.
  EVP_CIPHER_CTX_reset(ctx.get());
  // Unauthenticated plaintext never leaves this function.
  if (!ok) wipe(out.data(), out.size());
  return ok;
}

std::optional<X25519Key> X25519Key::from_scalar(const Key32& scalar) {
  stack::reaching(stack::kX25519Depth);
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
  stack::reaching(stack::kX25519Depth);
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
