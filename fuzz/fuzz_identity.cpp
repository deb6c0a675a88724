// parse_identity on arbitrary key text, and the public key of what it accepts.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto id = vesk::crypto::parse_identity(text);
  if (id) (void)id->pubkey_string();
  (void)vesk::crypto::parse_recipient(text);
  return 0;
}
