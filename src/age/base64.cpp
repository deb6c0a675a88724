// Strict base64 decoders and plain encoders.
#include "age/base64.hpp"

#include <algorithm>
#include <array>

namespace vesk::age {
namespace {

constexpr const char* kAlphabet = kBase64Alphabet;
constexpr std::uint8_t kInvalid = 0xff;
constexpr char kPad = '=';

constexpr std::array<std::uint8_t, 256> make_table() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}
constexpr auto kTable = make_table();

std::uint8_t sextet(char c) { return kTable[static_cast<unsigned char>(c)]; }

// The base64 crate's DecodeError texts (its 0.22 line).
std::string invalid_byte(std::size_t offset, char c) {
  return "Invalid symbol " + std::to_string(static_cast<unsigned char>(c)) + ", offset " +
         std::to_string(offset) + ".";
}
std::string invalid_last_symbol(std::size_t offset, char c) {
  return "Invalid last symbol " + std::to_string(static_cast<unsigned char>(c)) + ", offset " +
         std::to_string(offset) + ".";
}
std::string invalid_length(std::size_t n) { return "Invalid input length: " + std::to_string(n); }
const char* const kInvalidPadding = "Invalid padding";

// Appends the bytes of up to four sextets; `count` sextets are meaningful.
template <class Out>
void emit(const std::uint8_t* s, std::size_t count, Out& out) {
  std::uint32_t n = 0;
  for (std::size_t i = 0; i < 4; ++i) n = (n << 6) | (i < count ? s[i] : 0);
  std::size_t bytes = count * 6 / 8;
  for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(n >> (16 - 8 * i)));
}

// True when the bits of the last sextet beyond the decoded bytes are all zero.
bool trailing_bits_zero(const std::uint8_t* s, std::size_t count) {
  std::uint32_t n = 0;
  for (std::size_t i = 0; i < 4; ++i) n = (n << 6) | (i < count ? s[i] : 0);
  std::size_t bytes = count * 6 / 8;
  std::uint32_t mask = 0xffffffu >> (bytes * 8);
  return (n & mask) == 0;
}

struct Suffix {
  std::uint8_t sextets[4] = {};
  std::size_t symbols = 0;
  std::size_t pads = 0;
  char last = 0;
};

// The final 1..4 characters: padding only after two symbols, nothing after padding.
Result<Suffix, std::string> scan_suffix(std::string_view text, std::size_t start) {
  Suffix s;
  std::size_t first_pad = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    if (c == kPad) {
      if (i - start < 2) return unexpected(invalid_byte(i, c));
      if (s.pads++ == 0) first_pad = i;
      continue;
    }
    if (s.pads > 0) return unexpected(invalid_byte(first_pad, kPad));
    if (sextet(c) == kInvalid) return unexpected(invalid_byte(i, c));
    s.sextets[s.symbols++] = sextet(c);
    s.last = c;
  }
  return s;
}

}  // namespace

bool is_base64_char(char c) { return sextet(c) != kInvalid; }

Result<SecretBytes, std::string> base64_decode(std::string_view text) {
  std::size_t rem = text.size() % 4;
  // A stray last character (say a line feed) is named before the length is blamed.
  if (rem == 1 && text.back() != kPad && sextet(text.back()) == kInvalid) {
    return unexpected(invalid_byte(text.size() - 1, text.back()));
  }
  std::size_t body = text.size() - rem;
  if (rem == 0 && body >= 4) body -= 4;
  // Reserved in full, so no growth leaves a copy behind; an early return wipes it.
  SecretBytes out;
  out.reserve(text.size() / 4 * 3 + 3);
  for (std::size_t i = 0; i < body; i += 4) {
    std::uint8_t s[4];
    for (std::size_t j = 0; j < 4; ++j) {
      s[j] = sextet(text[i + j]);
      if (s[j] == kInvalid) return unexpected(invalid_byte(i + j, text[i + j]));
    }
    emit(s, 4, out);
  }
  auto suffix = scan_suffix(text, body);
  if (!suffix) return unexpected(std::move(suffix.error()));
  if (!text.empty() && suffix->symbols < 2) return unexpected(invalid_length(body + suffix->symbols));
  if ((suffix->symbols + suffix->pads) % 4 != 0) return unexpected(std::string(kInvalidPadding));
  if (suffix->symbols > 0 && !trailing_bits_zero(suffix->sextets, suffix->symbols)) {
    return unexpected(invalid_last_symbol(body + suffix->symbols - 1, suffix->last));
  }
  emit(suffix->sextets, suffix->symbols, out);
  return out;
}

bool base64_unpadded_valid(std::string_view text) {
  if (text.size() % 4 == 1) return false;
  for (char c : text) {
    if (sextet(c) == kInvalid) return false;
  }
  // Non-zero unused bits would let two texts encode the same bytes.
  const std::size_t rem = text.size() % 4;
  return rem == 0 || (sextet(text.back()) & (rem == 2 ? 0x0f : 0x03)) == 0;
}

namespace {

template <class Out>
bool append_unpadded(std::string_view text, Out& out) {
  if (!base64_unpadded_valid(text)) return false;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    acc = (acc << 6) | sextet(c);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
    }
  }
  return true;
}

}  // namespace

bool base64_append_unpadded(std::string_view text, SecretBytes& out) { return append_unpadded(text, out); }

template <class Out>
std::optional<Out> base64_decode_unpadded(std::string_view text) {
  Out out;
  out.reserve(text.size() * 3 / 4);
  if (!append_unpadded(text, out)) return std::nullopt;
  return out;
}

template std::optional<std::vector<std::uint8_t>> base64_decode_unpadded(std::string_view);
template std::optional<SecretBytes> base64_decode_unpadded(std::string_view);

namespace {
std::string encode(std::span<const std::uint8_t> bytes, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int k = 3; k >= 0; --k) out.push_back(kAlphabet[(n >> (6 * k)) & 63]);
  }
  std::size_t left = bytes.size() - i;
  if (left == 0) return out;
  std::uint32_t n = bytes[i] << 16;
  if (left == 2) n |= bytes[i + 1] << 8;
  out.push_back(kAlphabet[(n >> 18) & 63]);
  out.push_back(kAlphabet[(n >> 12) & 63]);
  if (left == 2) out.push_back(kAlphabet[(n >> 6) & 63]);
  if (pad) out.append(3 - left, kPad);
  return out;
}
}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) { return encode(bytes, true); }
std::string base64_encode_unpadded(std::span<const std::uint8_t> bytes) { return encode(bytes, false); }

}  // namespace vesk::age
