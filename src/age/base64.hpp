// Base64 as age and vesk use it.
//
// Two strict decoders, both over the standard alphabet (A-Z a-z 0-9 + /):
// - padded: "=" padding required and canonical, no white space, no non-zero
//   trailing bits; errors carry the display text of the Rust base64 crate's
//   DecodeError, which users see inside "invalid base64: {}";
// - unpadded: age's stanza and MAC encoding, no "=" at all, canonical.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "secure.hpp"

namespace vesk::age {

inline constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Strict standard base64 with canonical padding. What it decodes may be a
// secret key (an SSH key file's body), so the bytes go to a wiping buffer,
// wiped on every error too.
Result<SecretBytes, std::string> base64_decode(std::string_view text);

// Standard base64 with padding.
std::string base64_encode(std::span<const std::uint8_t> bytes);

// Unpadded canonical base64 (age stanza arguments, bodies, the header MAC).
// No "=" allowed, a length that is 1 mod 4 refused, unused low bits zero.
// Bytes that may be secret (a plugin's file key in a stanza body) are decoded
// with Out = SecretBytes.
template <class Out = std::vector<std::uint8_t>>
std::optional<Out> base64_decode_unpadded(std::string_view text);
extern template std::optional<std::vector<std::uint8_t>> base64_decode_unpadded(std::string_view);
extern template std::optional<SecretBytes> base64_decode_unpadded(std::string_view);

// Whether `text` is unpadded canonical base64 as above.
bool base64_unpadded_valid(std::string_view text);

// Appends the bytes of `text` to `out` (a stanza body decoded line by line);
// false, with `out` unchanged, when `text` is not valid as above.
bool base64_append_unpadded(std::string_view text, SecretBytes& out);

// Unpadded standard base64.
std::string base64_encode_unpadded(std::span<const std::uint8_t> bytes);

// True when c belongs to the standard alphabet (without "=").
bool is_base64_char(char c);

}  // namespace vesk::age
