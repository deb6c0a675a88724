// Bech32 (BIP 173) as age uses it for keys: no length limit, Bech32 (not
// Bech32m) checksum, all-lower or all-upper text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "secure.hpp"

namespace vesk::age {

struct Bech32 {
  std::string hrp;    // lower-cased
  SecretBytes data;   // 8-bit payload (it may be a secret key)
};

// Decodes text; empty on any fault (checksum, case mix, padding, characters).
std::optional<Bech32> bech32_decode(std::string_view text);

// Encodes in lower case.
std::string bech32_encode(std::string_view hrp, std::span<const std::uint8_t> data);

}  // namespace vesk::age
