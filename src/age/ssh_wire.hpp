// The SSH wire encoding (RFC 4251): big-endian uint32 and length-prefixed strings.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vesk::age {

struct WireReader {
  std::span<const std::uint8_t> in;

  bool u32(std::uint32_t& v) {
    if (in.size() < 4) return false;
    v = (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) | in[3];
    in = in.subspan(4);
    return true;
  }
  bool string(std::span<const std::uint8_t>& s) {
    std::uint32_t n = 0;
    if (!u32(n) || in.size() < n) return false;
    s = in.first(n);
    in = in.subspan(n);
    return true;
  }
  // A string equal to `expected`.
  bool tag(std::string_view expected) {
    std::span<const std::uint8_t> s;
    return string(s) && std::string_view(reinterpret_cast<const char*>(s.data()), s.size()) == expected;
  }
};

inline std::string_view as_text(std::span<const std::uint8_t> s) {
  return {reinterpret_cast<const char*>(s.data()), s.size()};
}

inline void put_string(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> s) {
  std::size_t at = out.size();
  out.resize(at + 4 + s.size());
  std::uint32_t n = static_cast<std::uint32_t>(s.size());
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
  std::copy(s.begin(), s.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

}  // namespace vesk::age
