// Bech32: whatever decodes must encode back to the same text, in lower case.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "age/bech32.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto decoded = vesk::age::bech32_decode(text);
  if (!decoded) return 0;
  std::string lower = text;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (vesk::age::bech32_encode(decoded->hrp, decoded->data) != lower) std::abort();
  return 0;
}
