// The signer-pin reader on arbitrary file bytes. A text that reads as a pin
// must write back to a text that reads as the same pin.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pins.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto pin = vesk::pins::parse_pin(text);
  if (!pin) return 0;
  const std::string written = vesk::pins::write_pin(*pin);
  const auto again = vesk::pins::parse_pin(written);
  if (!again || again->signers != pin->signers || again->was_signed != pin->was_signed) std::abort();
  if (vesk::pins::write_pin(*again) != written) std::abort();
  return 0;
}
