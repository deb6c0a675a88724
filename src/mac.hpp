// The vault MAC: nine versions, each a fixed byte stream over more of the
// document than the one before, and the check that picks the version from the
// stored text and refuses versions too old for what the document holds.
//
// The streams are a stored format shared with the tool that writes vaults:
// texts enter as their UTF-8 bytes (values as their base64 ciphertext text),
// framed by one-byte markers and terminators, maps in byte-wise key order,
// unordered lists sorted first.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "secure.hpp"
#include "types.hpp"

namespace vesk::mac {

using MacKey = SecretArray<32>;
using Groups = OrderedMap<TextList>;
using Grants = OrderedMap<GrantEntry>;
using MacBytes = std::vector<std::uint8_t>;

// Keyed BLAKE3 of a MAC stream, with a bounded stack depth whatever its length.
void keyed_blake3(const MacKey& key, std::span<const std::uint8_t> stream, std::span<std::uint8_t, 32> out);

// "sha256:" / "sha256v2:": SHA-256, no key.
std::string compute_mac_v1(const Vault& vault);
std::string compute_mac_v2(const Vault& vault);
// "blake3:" .. "blake3v7:": keyed BLAKE3. The number in the prefix lags the
// operation's number from v4 on; both are fixed by the stored format.
std::string compute_mac_v3(const Vault& vault, const MacKey& key);
std::string compute_mac_v4(const Vault& vault, const MacKey& key);
std::string compute_mac_v5(const Vault& vault, const MacKey& key);
std::string compute_mac_v6(const Vault& vault, const Groups& groups, const MacKey& key);
std::string compute_mac_v7(const Vault& vault, const Groups& groups, const Grants& grants,
                           const MacKey& key);
std::string compute_mac_v8(const Vault& vault, const Groups& groups, const Grants& grants,
                           const MacKey& key);
std::string compute_mac_v9(const Vault& vault, const Groups& groups, const Grants& grants,
                           const MacKey& key);

// The shared stream builders; each appends to `out`.
void v6_mac_bytes(const Vault& vault, const Groups& groups, MacBytes& out);
void v7_mac_bytes(const Vault& vault, const Groups& groups, const Grants& grants, MacBytes& out);
void v8_mac_bytes(const Vault& vault, const Groups& groups, const Grants& grants, MacBytes& out);

// The meta's `mac_key` text (64 hex digits) as a key, or nothing.
std::optional<MacKey> decode_mac_key(std::string_view text);

// Whether `stored` is the MAC of the document in the version its prefix names,
// and that version covers everything the document holds.
bool verify_mac(const Vault& vault, const Groups& groups, const Grants& grants,
                std::string_view stored, const std::optional<MacKey>& key);

// The MAC a tool would write today for this document: shown as the expected
// value when verify_mac refuses.
std::string compute_mac(const Vault& vault, const Groups& groups, const Grants& grants,
                        const std::optional<MacKey>& key);

}  // namespace vesk::mac
