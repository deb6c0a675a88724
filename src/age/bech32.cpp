// Bech32 decoding and encoding.
#include "age/bech32.hpp"

#include <array>
#include <vector>

namespace vesk::age {
namespace {

constexpr char kCharset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr std::uint32_t kGenerator[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
constexpr std::uint32_t kBech32Constant = 1;  // Bech32m's 0x2bc830a3 is refused
constexpr std::size_t kChecksumLen = 6;
// rust-bech32 0.9 limits: HRP 1..83 characters.
constexpr std::size_t kMaxHrp = 83;

std::uint32_t polymod_step(std::uint32_t chk, std::uint8_t v) {
  std::uint32_t top = chk >> 25;
  chk = ((chk & 0x1ffffff) << 5) ^ v;
  for (int i = 0; i < 5; ++i)
    if ((top >> i) & 1) chk ^= kGenerator[i];
  return chk;
}

std::uint32_t hrp_polymod(std::string_view hrp) {
  std::uint32_t chk = 1;
  for (char c : hrp) chk = polymod_step(chk, static_cast<std::uint8_t>(c) >> 5);
  chk = polymod_step(chk, 0);
  for (char c : hrp) chk = polymod_step(chk, static_cast<std::uint8_t>(c) & 31);
  return chk;
}

int charset_value(char c) {
  for (int i = 0; i < 32; ++i)
    if (kCharset[i] == c) return i;
  return -1;
}

// Regroups 5-bit values into bytes; the leftover bits must be fewer than 5 and zero.
bool from_five_bits(std::span<const std::uint8_t> values, SecretBytes& out) {
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::uint8_t v : values) {
    acc = ((acc << 5) | v) & 0xfff;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
    }
  }
  return bits < 5 && (acc & ((1u << bits) - 1)) == 0;
}

// Lower-cases the text; false for mixed case or characters outside 33..126.
bool normalise_case(std::string_view text, std::string& lower) {
  bool has_lower = false, has_upper = false;
  lower.reserve(text.size());
  for (char c : text) {
    if (c < 33 || c > 126) return false;
    if (c >= 'a' && c <= 'z') has_lower = true;
    if (c >= 'A' && c <= 'Z') {
      has_upper = true;
      c = static_cast<char>(c - 'A' + 'a');
    }
    lower.push_back(c);
  }
  return !(has_lower && has_upper);
}

}  // namespace

std::optional<Bech32> bech32_decode(std::string_view text) {
  std::string lower;
  bool ok = normalise_case(text, lower);
  std::size_t sep = lower.rfind('1');
  if (!ok || sep == std::string::npos || sep == 0 || sep > kMaxHrp || lower.size() - sep - 1 < kChecksumLen) {
    wipe(lower);
    return std::nullopt;
  }
  std::string_view hrp(lower.data(), sep);
  SecretBytes values;
  std::uint32_t chk = hrp_polymod(hrp);
  for (std::size_t i = sep + 1; i < lower.size(); ++i) {
    int v = charset_value(lower[i]);
    if (v < 0) break;
    values.push_back(static_cast<std::uint8_t>(v));
    chk = polymod_step(chk, static_cast<std::uint8_t>(v));
  }
  Bech32 result{std::string(hrp), {}};
  bool valid = values.size() == lower.size() - sep - 1 && chk == kBech32Constant &&
               from_five_bits(std::span(values).first(values.size() - kChecksumLen), result.data);
  wipe(lower);
  if (!valid) return std::nullopt;
  return result;
}

std::string bech32_encode(std::string_view hrp, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> values;
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::uint8_t b : data) {
    acc = (acc << 8) | b;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      values.push_back((acc >> bits) & 31);
    }
  }
  if (bits > 0) values.push_back((acc << (5 - bits)) & 31);
  std::uint32_t chk = hrp_polymod(hrp);
  for (std::uint8_t v : values) chk = polymod_step(chk, v);
  for (std::size_t i = 0; i < kChecksumLen; ++i) chk = polymod_step(chk, 0);
  chk ^= kBech32Constant;
  std::string out(hrp);
  out.push_back('1');
  for (std::uint8_t v : values) out.push_back(kCharset[v]);
  for (std::size_t i = 0; i < kChecksumLen; ++i) out.push_back(kCharset[(chk >> (5 * (5 - i))) & 31]);
  return out;
}

}  // namespace vesk::age
