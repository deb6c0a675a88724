#include "mac.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "blake3.h"
#include "stack.hpp"

namespace vesk::mac {
namespace {

// Marker bytes of the streams. They are not escaped inside texts: the stream
// layout is fixed by the vaults already written, not chosen here.
constexpr std::uint8_t kEndText = 0x00;
constexpr std::uint8_t kScopedSeparator = 0x01;
constexpr std::uint8_t kSchemaOpen = 0x02;
constexpr std::uint8_t kGroupedOpen = 0x03;
constexpr std::uint8_t kGroupOpen = 0x04;
constexpr std::uint8_t kGroupMember = 0x05;
constexpr std::uint8_t kGrantOpen = 0x06;
constexpr std::uint8_t kScopeItem = 0x07;
constexpr std::uint8_t kPolicyOpen = 0x08;
constexpr std::uint8_t kRevokedOpen = 0x09;

constexpr std::size_t kDigestSize = 32;
// What one BLAKE3 update takes: 4 chunks. Its stack depth grows with the
// chunks per update over the chunks its SIMD code hashes at once, from 4 on
// SSE to 16 on AVX-512; 4 keep the depth the same on every CPU.
constexpr std::size_t kBlake3Chunk = 1024;
constexpr std::size_t kBlake3Piece = 4 * kBlake3Chunk;
using Digest = std::array<std::uint8_t, kDigestSize>;

// Collects a stream in memory (the keyed versions hash it in one call).
struct BufferSink {
  MacBytes& out;
  void put(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    out.insert(out.end(), p, p + text.size());
  }
  void put(std::uint8_t byte) { out.push_back(byte); }
};

// Measures a stream without writing it, so its buffer is allocated once.
struct CountingSink {
  std::size_t size = 0;
  void put(std::string_view text) { size += text.size(); }
  void put(std::uint8_t) { ++size; }
};

// Streams into SHA-256 through a small staging block, so the unkeyed versions
// never hold the whole stream and marker bytes cost no library call each.
class Sha256Sink {
 public:
  Sha256Sink() : ctx_(EVP_MD_CTX_new()) {
    require(ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1);
  }
  ~Sha256Sink() { EVP_MD_CTX_free(ctx_); }
  Sha256Sink(const Sha256Sink&) = delete;
  Sha256Sink& operator=(const Sha256Sink&) = delete;

  void put(std::uint8_t byte) {
    if (used_ == staging_.size()) flush();
    staging_[used_++] = byte;
  }
  void put(std::string_view text) {
    if (text.size() > staging_.size() - used_) {
      flush();
      if (text.size() >= staging_.size()) return update(text.data(), text.size());
    }
    std::memcpy(staging_.data() + used_, text.data(), text.size());
    used_ += text.size();
  }
  Digest finish() {
    flush();
    Digest d{};
    unsigned int n = 0;
    require(EVP_DigestFinal_ex(ctx_, d.data(), &n) == 1 && n == d.size());
    return d;
  }

 private:
  // Hashing bytes in memory fails only when the library cannot allocate;
  // there is no sound MAC to return then.
  static void require(bool ok) {
    if (!ok) std::abort();
  }
  void update(const void* p, std::size_t n) { require(EVP_DigestUpdate(ctx_, p, n) == 1); }
  void flush() {
    if (used_ > 0) update(staging_.data(), used_);
    used_ = 0;
  }

  EVP_MD_CTX* ctx_;
  std::array<std::uint8_t, 4096> staging_{};
  std::size_t used_ = 0;
};

template <class Sink>
void put_text(Sink& sink, std::string_view text) {
  sink.put(text);
  sink.put(kEndText);
}

// A sorted copy of views: the stream does not depend on the stored order of
// these lists. std::string_view orders bytes as unsigned char.
std::vector<std::string_view> sorted_views(const TextList& list) {
  std::vector<std::string_view> views(list.begin(), list.end());
  std::sort(views.begin(), views.end());
  return views;
}

// K: the secret names.
template <class Sink>
void section_k(const Vault& vault, Sink& sink) {
  for (const auto& [name, entry] : vault.secrets) put_text(sink, name);
}

// S1: the shared values, in a pass of their own.
template <class Sink>
void section_s1(const Vault& vault, Sink& sink) {
  for (const auto& [name, entry] : vault.secrets) put_text(sink, entry.shared);
}

template <class Sink>
void put_shared_and_scoped(const SecretEntry& entry, Sink& sink) {
  put_text(sink, entry.shared);
  for (const auto& [pubkey, ciphertext] : entry.scoped) {
    sink.put(pubkey);
    sink.put(kScopedSeparator);
    put_text(sink, ciphertext);
  }
}

// S2: shared and scoped values.
template <class Sink>
void section_s2(const Vault& vault, Sink& sink) {
  for (const auto& [name, entry] : vault.secrets) put_shared_and_scoped(entry, sink);
}

// S6: as S2, each secret followed by its grouped values.
template <class Sink>
void section_s6(const Vault& vault, Sink& sink) {
  for (const auto& [name, entry] : vault.secrets) {
    put_shared_and_scoped(entry, sink);
    for (const auto& [group, ciphertext] : entry.grouped) {
      sink.put(kGroupedOpen);
      put_text(sink, group);
      put_text(sink, ciphertext);
    }
  }
}

// R: the recipients, sorted.
template <class Sink>
void section_r(const Vault& vault, Sink& sink) {
  for (std::string_view r : sorted_views(vault.recipients)) put_text(sink, r);
}

template <class Sink>
void put_optional(Sink& sink, const std::optional<std::string>& text) {
  put_text(sink, text ? std::string_view(*text) : std::string_view());
}

// C4 (without dates) and C5 (with dates): the schema. Tags keep their order.
template <class Sink>
void section_c(const Vault& vault, Sink& sink, bool with_dates) {
  for (const auto& [name, entry] : vault.schema) {
    sink.put(kSchemaOpen);
    put_text(sink, name);
    put_text(sink, entry.description);
    put_optional(sink, entry.example);
    for (const auto& tag : entry.tags) put_text(sink, tag);
    if (!with_dates) continue;
    put_optional(sink, entry.created);
    put_optional(sink, entry.updated);
    const auto& days = entry.rotation_interval_days;
    put_text(sink, days ? std::to_string(*days) : std::string());
    put_optional(sink, entry.expires_at);
  }
}

// G: the meta's groups, members sorted and unterminated.
template <class Sink>
void section_g(const Groups& groups, Sink& sink) {
  for (const auto& [name, members] : groups) {
    sink.put(kGroupOpen);
    put_text(sink, name);
    for (std::string_view m : sorted_views(members)) {
      sink.put(kGroupMember);
      sink.put(m);
    }
  }
}

// T: the meta's grants, scope items sorted and unterminated.
template <class Sink>
void section_t(const Grants& grants, Sink& sink) {
  for (const auto& [name, g] : grants) {
    sink.put(kGrantOpen);
    for (std::string_view t : {std::string_view(name), std::string_view(g.pubkey),
                               std::string_view(g.issued_at), std::string_view(g.expires_at),
                               std::string_view(g.issuer)}) {
      put_text(sink, t);
    }
    for (std::string_view item : sorted_views(g.scope)) {
      sink.put(kScopeItem);
      sink.put(item);
    }
  }
}

// P: the policy, tags sorted, each behind its 64-bit big-endian length.
template <class Sink>
void section_p(const Vault& vault, Sink& sink) {
  if (!vault.policy) return;
  sink.put(kPolicyOpen);
  for (std::string_view tag : sorted_views(vault.policy->agent_allow_tags)) {
    const std::uint64_t n = tag.size();
    for (int shift = 56; shift >= 0; shift -= 8) sink.put(static_cast<std::uint8_t>(n >> shift));
    sink.put(tag);
  }
}

// V: the revoked schema entries.
template <class Sink>
void section_v(const Vault& vault, Sink& sink) {
  for (const auto& [name, entry] : vault.schema) {
    if (!entry.revoked_at) continue;
    sink.put(kRevokedOpen);
    put_text(sink, name);
    put_text(sink, *entry.revoked_at);
  }
}

std::string mac_text(std::string_view prefix, const Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(prefix);
  out.reserve(prefix.size() + 2 * digest.size());
  for (std::uint8_t b : digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0f]);
  }
  return out;
}

// K, S2, R, then the schema section in the form each version needs.
enum class Schema { None, C4, C5 };
template <class Sink>
void put_early(const Vault& vault, Schema schema, Sink& sink) {
  section_k(vault, sink);
  section_s2(vault, sink);
  section_r(vault, sink);
  if (schema != Schema::None) section_c(vault, sink, schema == Schema::C5);
}

template <class Sink>
void put_v6(const Vault& vault, const Groups& groups, Sink& sink) {
  section_k(vault, sink);
  section_s6(vault, sink);
  section_r(vault, sink);
  section_c(vault, sink, true);
  section_g(groups, sink);
}

template <class Sink>
void put_v7(const Vault& vault, const Groups& groups, const Grants& grants, Sink& sink) {
  put_v6(vault, groups, sink);
  section_t(grants, sink);
}

template <class Sink>
void put_v8(const Vault& vault, const Groups& groups, const Grants& grants, Sink& sink) {
  put_v7(vault, groups, grants, sink);
  section_p(vault, sink);
}

// Builds the stream that `write` produces in one buffer and hashes it with
// keyed BLAKE3. The stream is measured first, so the buffer is allocated
// once at its final size instead of being copied as it grows.
template <class Write>
std::string keyed(std::string_view prefix, const MacKey& key, const Write& write) {
  CountingSink count;
  write(count);
  MacBytes stream;
  stream.reserve(count.size);
  BufferSink sink{stream};
  write(sink);
  Digest d{};
  keyed_blake3(key, stream, d);
  return mac_text(prefix, d);
}

}  // namespace

void keyed_blake3(const MacKey& key, std::span<const std::uint8_t> stream, std::span<std::uint8_t, 32> out) {
  blake3_hasher hasher;
  stack::reaching(stream.size() < 2 * kBlake3Chunk ? stack::kBlake3ChunkDepth : stack::kBlake3Depth);
  blake3_hasher_init_keyed(&hasher, key.data());
  // Hashed in pieces: BLAKE3 recurses once per doubling of what one update
  // takes, each level with a frame of chaining values derived from the key.
  for (std::size_t at = 0; at < stream.size(); at += kBlake3Piece) {
    blake3_hasher_update(&hasher, stream.data() + at, std::min(kBlake3Piece, stream.size() - at));
  }
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  // The hasher holds the key in its state.
  wipe(&hasher, sizeof hasher);
}

std::string compute_mac_v1(const Vault& vault) {
  Sha256Sink sink;
  section_k(vault, sink);
  section_s1(vault, sink);
  section_r(vault, sink);
  return mac_text("sha256:", sink.finish());
}

std::string compute_mac_v2(const Vault& vault) {
  Sha256Sink sink;
  put_early(vault, Schema::None, sink);
  return mac_text("sha256v2:", sink.finish());
}

std::string compute_mac_v3(const Vault& vault, const MacKey& key) {
  return keyed("blake3:", key, [&](auto& sink) { put_early(vault, Schema::None, sink); });
}

std::string compute_mac_v4(const Vault& vault, const MacKey& key) {
  return keyed("blake3v2:", key, [&](auto& sink) { put_early(vault, Schema::C4, sink); });
}

std::string compute_mac_v5(const Vault& vault, const MacKey& key) {
  return keyed("blake3v3:", key, [&](auto& sink) { put_early(vault, Schema::C5, sink); });
}

void v6_mac_bytes(const Vault& vault, const Groups& groups, MacBytes& out) {
  BufferSink sink{out};
  put_v6(vault, groups, sink);
}

void v7_mac_bytes(const Vault& vault, const Groups& groups, const Grants& grants, MacBytes& out) {
  BufferSink sink{out};
  put_v7(vault, groups, grants, sink);
}

void v8_mac_bytes(const Vault& vault, const Groups& groups, const Grants& grants, MacBytes& out) {
  BufferSink sink{out};
  put_v8(vault, groups, grants, sink);
}

std::string compute_mac_v6(const Vault& vault, const Groups& groups, const MacKey& key) {
  return keyed("blake3v4:", key, [&](auto& sink) { put_v6(vault, groups, sink); });
}

std::string compute_mac_v7(const Vault& vault, const Groups& groups, const Grants& grants,
                           const MacKey& key) {
  return keyed("blake3v5:", key, [&](auto& sink) { put_v7(vault, groups, grants, sink); });
}

std::string compute_mac_v8(const Vault& vault, const Groups& groups, const Grants& grants,
                           const MacKey& key) {
  return keyed("blake3v6:", key, [&](auto& sink) { put_v8(vault, groups, grants, sink); });
}

std::string compute_mac_v9(const Vault& vault, const Groups& groups, const Grants& grants,
                           const MacKey& key) {
  return keyed("blake3v7:", key, [&](auto& sink) {
    put_v8(vault, groups, grants, sink);
    section_v(vault, sink);
  });
}

}  // namespace vesk::mac

namespace vesk::mac {
namespace {

constexpr std::size_t kMacKeyHexSize = 64;

std::optional<std::uint8_t> hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// One pair as the writing tool's integer parser reads an unsigned byte in
// base 16: two digits, or a "+" sign and one digit. No minus sign.
std::optional<std::uint8_t> pair_value(char first, char second) {
  const auto low = hex_value(second);
  if (!low) return std::nullopt;
  if (first == '+') return low;
  const auto high = hex_value(first);
  if (!high) return std::nullopt;
  return static_cast<std::uint8_t>(*high << 4 | *low);
}

bool has_revoked(const Vault& vault) {
  return std::any_of(vault.schema.begin(), vault.schema.end(),
                     [](const auto& e) { return e.second.revoked_at.has_value(); });
}

bool has_groups(const Vault& vault, const Groups& groups) {
  return !groups.empty() ||
         std::any_of(vault.secrets.begin(), vault.secrets.end(),
                     [](const auto& e) { return !e.second.grouped.empty(); });
}

bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](std::string_view p) { return text.starts_with(p); });
}

// The downgrade guard: a version that does not cover data the document holds
// would let that data be changed under a valid MAC, so such a MAC is refused
// whatever it says.
bool guard_admits(const Vault& vault, const Groups& groups, const Grants& grants,
                  std::string_view stored) {
  if (has_revoked(vault) && !stored.starts_with("blake3v7:")) return false;
  if (vault.policy && !starts_with_any(stored, {"blake3v6:", "blake3v7:"})) return false;
  if (!grants.empty() && !starts_with_any(stored, {"blake3v5:", "blake3v6:", "blake3v7:"})) {
    return false;
  }
  if (has_groups(vault, groups) &&
      !starts_with_any(stored, {"blake3v4:", "blake3v5:", "blake3v6:", "blake3v7:"})) {
    return false;
  }
  return true;
}

enum class Op { V1, V2, V3, V4, V5, V6, V7, V8, V9 };

struct Version {
  std::string_view prefix;
  Op op;
};

// Tried in this order. No prefix is a prefix of another, so the first match
// is the only one, and a text shorter than 7 bytes matches none.
constexpr Version kVersions[] = {
    {"blake3v7:", Op::V9}, {"blake3v6:", Op::V8}, {"blake3v5:", Op::V7},
    {"blake3v4:", Op::V6}, {"blake3v3:", Op::V5}, {"blake3v2:", Op::V4},
    {"blake3:", Op::V3},   {"sha256v2:", Op::V2}, {"sha256:", Op::V1},
};

std::string compute_keyed(Op op, const Vault& vault, const Groups& groups, const Grants& grants,
                          const MacKey& key) {
  switch (op) {
    case Op::V3: return compute_mac_v3(vault, key);
    case Op::V4: return compute_mac_v4(vault, key);
    case Op::V5: return compute_mac_v5(vault, key);
    case Op::V6: return compute_mac_v6(vault, groups, key);
    case Op::V7: return compute_mac_v7(vault, groups, grants, key);
    case Op::V8: return compute_mac_v8(vault, groups, grants, key);
    default: return compute_mac_v9(vault, groups, grants, key);
  }
}

// Constant time over equal lengths, so a forger learns nothing from timing
// about how many leading digits were right; the length itself is public.
bool same_mac(std::string_view stored, std::string_view computed) {
  return stored.size() == computed.size() &&
         CRYPTO_memcmp(stored.data(), computed.data(), stored.size()) == 0;
}

}  // namespace

std::optional<MacKey> decode_mac_key(std::string_view text) {
  if (text.size() != kMacKeyHexSize) return std::nullopt;
  MacKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    const auto byte = pair_value(text[2 * i], text[2 * i + 1]);
    if (!byte) return std::nullopt;
    key[i] = *byte;
  }
  return key;
}

bool verify_mac(const Vault& vault, const Groups& groups, const Grants& grants,
                std::string_view stored, const std::optional<MacKey>& key) {
  // Guard and prefix choice come first, so a refused text costs no hashing.
  if (!guard_admits(vault, groups, grants, stored)) return false;
  const auto version = std::find_if(std::begin(kVersions), std::end(kVersions),
                                    [&](const Version& v) { return stored.starts_with(v.prefix); });
  if (version == std::end(kVersions)) return false;
  std::string computed;
  if (version->op == Op::V1) {
    computed = compute_mac_v1(vault);
  } else if (version->op == Op::V2) {
    computed = compute_mac_v2(vault);
  } else if (!key) {
    return false;
  } else {
    computed = compute_keyed(version->op, vault, groups, grants, *key);
  }
  return same_mac(stored, computed);
}

std::string compute_mac(const Vault& vault, const Groups& groups, const Grants& grants,
                        const std::optional<MacKey>& key) {
  if (!key) return compute_mac_v2(vault);
  // The lowest version the guard admits, never below "blake3v3:".
  Op op = Op::V5;
  if (has_revoked(vault)) {
    op = Op::V9;
  } else if (vault.policy) {
    op = Op::V8;
  } else if (!grants.empty()) {
    op = Op::V7;
  } else if (has_groups(vault, groups)) {
    op = Op::V6;
  }
  return compute_keyed(op, vault, groups, grants, *key);
}

}  // namespace vesk::mac
