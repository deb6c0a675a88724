// The ssh-ed25519 and ssh-rsa stanzas, and SSH public keys.
#include "age/ssh.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rsa.h>

#include "age/base64.hpp"
#include "age/ssh_internal.hpp"
#include "age/ssh_wire.hpp"
#include "stack.hpp"

namespace vesk::age {
namespace {

constexpr std::string_view kEd25519Type = "ssh-ed25519";
constexpr std::string_view kRsaType = "ssh-rsa";
constexpr std::string_view kEd25519Label = "age-encryption.org/v1/ssh-ed25519";
constexpr std::string_view kRsaLabel = "age-encryption.org/v1/ssh-rsa";
constexpr std::size_t kTagLen = 4;
constexpr std::size_t kKeyLen = 32;
constexpr std::size_t kFileKeyLen = 16;
constexpr std::size_t kWrappedKeyLen = 32;  // file key + tag
constexpr int kMaxRsaBits = 4096;
constexpr int kMinRsaRecipientBits = 2048;
constexpr std::uint64_t kMaxPublicExponent = (std::uint64_t{1} << 33) - 1;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using BnCtx = std::unique_ptr<BN_CTX, BnFree>;

Bn bn_from(std::span<const std::uint8_t> b) { return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr)); }
Bn bn_new() { return Bn(BN_new()); }

// The stanza tag: the first four bytes of SHA-256 over the public key blob.
bool tag_matches(const Stanza& s, std::span<const std::uint8_t> ssh_key) {
  if (s.args.empty()) return false;
  auto tag = base64_decode_unpadded(s.args[0]);
  auto digest = sha256(ssh_key);
  return tag && tag->size() == kTagLen && std::equal(tag->begin(), tag->end(), digest.begin());
}

// X25519 that yields zeros where OpenSSL refuses a low-order result: the Rust
// crate does not check, and the tag check that follows then fails.
Key32 derive_or_zero(const X25519Key& key, std::span<const std::uint8_t, 32> u) {
  auto r = key.derive(u);
  return r ? *r : Key32{};
}

Unwrap unwrap_ed25519(const SshIdentity::Impl& id, const Stanza& s) {
  if (s.type != kEd25519Type || !tag_matches(s, id.ssh_key)) return Unwrap::no_match();
  if (s.body.size() != kWrappedKeyLen) return Unwrap::fail(kErrHeaderInvalid);
  if (s.args.size() < 2) return Unwrap::no_match();
  auto share = base64_decode_unpadded(s.args[1]);
  if (!share || share->size() != kKeyLen) return Unwrap::no_match();
  std::span<const std::uint8_t, 32> share32(share->data(), kKeyLen);
  Key32 inner = derive_or_zero(*id.x25519, share32);
  Key32 shared = derive_or_zero(*id.tweak, inner.span());
  std::array<std::uint8_t, 64> salt{};
  std::copy(share->begin(), share->end(), salt.begin());
  std::copy(id.x25519->public_key().begin(), id.x25519->public_key().end(), salt.begin() + kKeyLen);
  Key32 wrap = hkdf_sha256(shared.span(), salt, kEd25519Label);
  auto key = open_file_key(wrap, s.body);
  // A matching tag means the stanza is ours: failing to open it is an error.
  if (!key) return Unwrap::fail(kErrDecryptionFailed);
  return Unwrap::found(*key);
}

bool rsa_oaep_open(void* pkey, std::span<const std::uint8_t> body, FileKey& out) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new(static_cast<EVP_PKEY*>(pkey), nullptr), EVP_PKEY_CTX_free);
  // OpenSSL takes ownership of the label buffer.
  void* label = OPENSSL_memdup(kRsaLabel.data(), kRsaLabel.size());
  if (!ctx || !label || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), label, static_cast<int>(kRsaLabel.size())) != 1) {
    OPENSSL_free(label);
    return false;
  }
  std::size_t len = 0;
  if (EVP_PKEY_decrypt(ctx.get(), nullptr, &len, body.data(), body.size()) != 1) return false;
  SecretBytes plain(len);
  bool opened = false;
  const auto decrypt = [&] { opened = EVP_PKEY_decrypt(ctx.get(), plain.data(), &len, body.data(), body.size()) == 1; };
  stack::on_own_stack(decrypt, stack::kRsaDepth);
  if (!opened || len != kFileKeyLen) return false;
  std::copy(plain.begin(), plain.begin() + kFileKeyLen, out.bytes.begin());
  return true;
}

Unwrap unwrap_rsa(const SshIdentity::Impl& id, const Stanza& s) {
  if (s.type != kRsaType || !tag_matches(s, id.ssh_key)) return Unwrap::no_match();
  FileKey key;
  if (!rsa_oaep_open(id.rsa.get(), s.body, key)) return Unwrap::fail(kErrDecryptionFailed);
  return Unwrap::found(key);
}

// An mpint as the SSH recipient parser wants it: non-negative, no needless leading zero.
bool canonical_mpint(std::span<const std::uint8_t> m) {
  if (m.empty()) return true;
  if (m[0] & 0x80) return false;
  return !(m[0] == 0 && (m.size() == 1 || !(m[1] & 0x80)));
}

// True when e and n pass the RSA public-key checks (e odd, 2 <= e < 2^33, e < n, n odd).
bool rsa_public_ok(const BIGNUM* e, const BIGNUM* n) {
  if (BN_num_bits(e) > 34 || !BN_is_odd(e) || !BN_is_odd(n) || BN_cmp(e, n) >= 0) return false;
  BN_ULONG ev = BN_get_word(e);
  return ev >= 2 && ev <= kMaxPublicExponent;
}

struct RsaPublic {
  Bn e, n;
};

std::optional<RsaPublic> parse_rsa_blob(std::span<const std::uint8_t> blob) {
  WireReader r{blob};
  std::span<const std::uint8_t> e, n;
  if (!r.tag(kRsaType) || !r.string(e) || !r.string(n) || !canonical_mpint(e) || !canonical_mpint(n)) {
    return std::nullopt;
  }
  RsaPublic pub{bn_from(e), bn_from(n)};
  if (!pub.e || !pub.n) return std::nullopt;
  return pub;
}

// Whether 32 bytes decompress to a point of edwards25519 (y taken mod p, as
// curve25519-dalek does): (y^2 - 1) / (d y^2 + 1) must be a square.
bool ed25519_point_ok(std::span<const std::uint8_t> a) {
  if (a.size() != kKeyLen) return false;
  std::array<std::uint8_t, 32> be{};
  for (std::size_t i = 0; i < kKeyLen; ++i) be[i] = a[kKeyLen - 1 - i];
  be[0] &= 0x7f;
  BnCtx ctx(BN_CTX_new());
  Bn p = bn_new(), y = bn_from(be), d = bn_new(), t = bn_new(), u = bn_new(), v = bn_new(), exp = bn_new();
  if (!ctx || !p || !y || !d || !t || !u || !v || !exp) return false;
  BN_set_bit(p.get(), 255);
  BN_sub_word(p.get(), 19);
  // d = -121665 / 121666 mod p
  BN_set_word(t.get(), 121666);
  BN_mod_inverse(d.get(), t.get(), p.get(), ctx.get());
  BN_set_word(t.get(), 121665);
  BN_mod_mul(d.get(), d.get(), t.get(), p.get(), ctx.get());
  BN_mod_sub(d.get(), p.get(), d.get(), p.get(), ctx.get());
  BN_mod_sqr(t.get(), y.get(), p.get(), ctx.get());                // y^2
  BN_mod_sub(u.get(), t.get(), BN_value_one(), p.get(), ctx.get());  // y^2 - 1
  BN_mod_mul(v.get(), d.get(), t.get(), p.get(), ctx.get());
  BN_mod_add(v.get(), v.get(), BN_value_one(), p.get(), ctx.get());  // d y^2 + 1
  if (BN_is_zero(u.get())) return true;
  BN_mod_inverse(v.get(), v.get(), p.get(), ctx.get());
  BN_mod_mul(u.get(), u.get(), v.get(), p.get(), ctx.get());
  BN_rshift1(exp.get(), p.get());  // (p - 1) / 2 for odd p
  BN_mod_exp(t.get(), u.get(), exp.get(), p.get(), ctx.get());
  return BN_is_one(t.get());
}

bool parse_ed25519_blob(std::span<const std::uint8_t> blob) {
  WireReader r{blob};
  std::span<const std::uint8_t> key;
  return r.tag(kEd25519Type) && r.string(key) && ed25519_point_ok(key);
}

std::string_view base64_run(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_base64_char(text[i])) ++i;
  return text.substr(0, i);
}

}  // namespace

void EvpPkeyFree::operator()(void* p) const { EVP_PKEY_free(static_cast<EVP_PKEY*>(p)); }

SshIdentity::SshIdentity(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SshIdentity::SshIdentity(SshIdentity&&) noexcept = default;
SshIdentity& SshIdentity::operator=(SshIdentity&&) noexcept = default;
SshIdentity::~SshIdentity() = default;

SshIdentity::Kind SshIdentity::kind() const { return impl_->kind; }

Unwrap SshIdentity::unwrap_stanza(const Stanza& s) const {
  return impl_->kind == Kind::Ed25519 ? unwrap_ed25519(*impl_, s) : unwrap_rsa(*impl_, s);
}

Result<std::string, std::string> SshIdentity::recipient_string() const {
  const auto& blob = impl_->ssh_key;
  if (auto rsa = parse_rsa_blob(blob)) {
    if (BN_num_bits(rsa->n.get()) > kMaxRsaBits) return unexpected(std::string("RsaModulusTooLarge"));
    if (rsa_public_ok(rsa->e.get(), rsa->n.get())) return std::string(kRsaType) + " " + base64_encode(blob);
  }
  if (parse_ed25519_blob(blob)) return std::string(kEd25519Type) + " " + base64_encode(blob);
  return unexpected(std::string("Invalid(\"Invalid SSH pubkey in SSH privkey\")"));
}

bool parse_ssh_recipient(std::string_view text) {
  const std::string rsa_prefix = std::string(kRsaType) + " ";
  const std::string ed_prefix = std::string(kEd25519Type) + " ";
  constexpr std::size_t kEd25519Encoded = 68;
  if (text.starts_with(rsa_prefix)) {
    auto blob = base64_decode_unpadded(base64_run(text.substr(rsa_prefix.size())));
    auto rsa = blob ? parse_rsa_blob(*blob) : std::nullopt;
    if (rsa) {
      int bits = BN_num_bits(rsa->n.get());
      return bits <= kMaxRsaBits && bits >= kMinRsaRecipientBits && rsa_public_ok(rsa->e.get(), rsa->n.get());
    }
  }
  if (text.starts_with(ed_prefix) && text.size() >= ed_prefix.size() + kEd25519Encoded) {
    auto blob = base64_decode_unpadded(text.substr(ed_prefix.size(), kEd25519Encoded));
    return blob && parse_ed25519_blob(*blob);
  }
  return false;
}

std::optional<SshIdentity> make_ed25519_identity(std::span<const std::uint8_t> seed,
                                                 std::span<const std::uint8_t> ssh_key) {
  auto digest = sha512(seed);
  Key32 scalar;
  std::copy(digest.begin(), digest.begin() + kKeyLen, scalar.bytes.begin());
  wipe(digest.data(), digest.size());
  Key32 tweak = hkdf_sha256({}, ssh_key, kEd25519Label);
  auto impl = std::make_unique<SshIdentity::Impl>();
  impl->kind = SshIdentity::Kind::Ed25519;
  impl->ssh_key.assign(ssh_key.begin(), ssh_key.end());
  impl->x25519 = X25519Key::from_scalar(scalar);
  impl->tweak = X25519Key::from_scalar(tweak);
  if (!impl->x25519 || !impl->tweak) return std::nullopt;
  return SshIdentity(std::move(impl));
}

namespace {

// The checks the Rust rsa crate makes before it accepts private components.
bool rsa_private_ok(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d, const BIGNUM* p, const BIGNUM* q,
                    BN_CTX* ctx) {
  if (!rsa_public_ok(e, n) || BN_cmp(p, BN_value_one()) <= 0 || BN_cmp(q, BN_value_one()) <= 0) return false;
  Bn m = bn_new(), de = bn_new(), pm1 = bn_new(), r = bn_new();
  if (!m || !de || !pm1 || !r || !BN_mul(m.get(), p, q, ctx) || BN_cmp(m.get(), n) != 0) return false;
  if (!BN_mul(de.get(), d, e, ctx)) return false;
  for (const BIGNUM* prime : {p, q}) {
    if (!BN_copy(pm1.get(), prime) || !BN_sub_word(pm1.get(), 1) || !BN_mod(r.get(), de.get(), pm1.get(), ctx) ||
        !BN_is_one(r.get())) {
      return false;
    }
  }
  return true;
}

EVP_PKEY* build_rsa_key(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d, const BIGNUM* p, const BIGNUM* q,
                        BN_CTX* ctx) {
  Bn dp = bn_new(), dq = bn_new(), qinv = bn_new(), t = bn_new();
  if (!dp || !dq || !qinv || !t) return nullptr;
  BN_copy(t.get(), p);
  BN_sub_word(t.get(), 1);
  BN_mod(dp.get(), d, t.get(), ctx);
  BN_copy(t.get(), q);
  BN_sub_word(t.get(), 1);
  BN_mod(dq.get(), d, t.get(), ctx);
  if (!BN_mod_inverse(qinv.get(), q, p, ctx)) return nullptr;
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> bld(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
  if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get())) {
    return nullptr;
  }
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld.get());
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> pctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr),
                                                                    EVP_PKEY_CTX_free);
  EVP_PKEY* pkey = nullptr;
  if (!params || !pctx || EVP_PKEY_fromdata_init(pctx.get()) != 1 ||
      EVP_PKEY_fromdata(pctx.get(), &pkey, EVP_PKEY_KEYPAIR, params) != 1) {
    pkey = nullptr;
  }
  // The parameter block holds copies of the private components.
  for (OSSL_PARAM* it = params; it && it->key; ++it) wipe(it->data, it->data_size);
  OSSL_PARAM_free(params);
  return pkey;
}

}  // namespace

std::optional<SshIdentity> make_rsa_identity(const RsaParts& parts, std::span<const std::uint8_t> ssh_key) {
  stack::reaching(stack::kBignumDepth);
  BnCtx ctx(BN_CTX_new());
  Bn n = bn_from(parts.n), e = bn_from(parts.e), d = bn_from(parts.d), p = bn_from(parts.p), q = bn_from(parts.q);
  if (!ctx || !n || !e || !d || !p || !q || !rsa_private_ok(n.get(), e.get(), d.get(), p.get(), q.get(), ctx.get())) {
    return std::nullopt;
  }
  EVP_PKEY* pkey = build_rsa_key(n.get(), e.get(), d.get(), p.get(), q.get(), ctx.get());
  if (!pkey) return std::nullopt;
  auto impl = std::make_unique<SshIdentity::Impl>();
  impl->kind = SshIdentity::Kind::Rsa;
  impl->ssh_key.assign(ssh_key.begin(), ssh_key.end());
  impl->rsa.reset(pkey);
  return SshIdentity(std::move(impl));
}

std::vector<std::uint8_t> rsa_public_blob(std::span<const std::uint8_t> e, std::span<const std::uint8_t> n) {
  // mpints: a leading zero byte keeps a high bit from reading as a sign.
  auto mpint = [](std::span<const std::uint8_t> m) {
    while (!m.empty() && m[0] == 0) m = m.subspan(1);
    std::size_t pad = !m.empty() && (m[0] & 0x80) ? 1 : 0;
    std::vector<std::uint8_t> v(pad + m.size(), 0);
    std::copy(m.begin(), m.end(), v.begin() + static_cast<std::ptrdiff_t>(pad));
    return v;
  };
  std::vector<std::uint8_t> blob;
  put_string(blob, as_bytes(kRsaType));
  put_string(blob, mpint(e));
  put_string(blob, mpint(n));
  return blob;
}

}  // namespace vesk::age
