// The age header parser and the whole decryption road, with a fixed X25519 identity.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "age/decrypt.hpp"
#include "age/format.hpp"
#include "age/x25519.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto identity =
      vesk::age::X25519Identity::parse("AGE-SECRET-KEY-1EGTZVFFV20835NWYV6270LXYVK2VKNX2MMDKWYKLMGR48UAWX40Q2P2LM0");
  std::span<const std::uint8_t> file(data, size);
  auto header = vesk::age::parse_header(file);
  if (header) {
    // The MAC covers a prefix of the header, which ends before the payload.
    if (header->mac_input_len > header->payload_offset || header->payload_offset > size) std::abort();
    if (header->stanzas.empty()) std::abort();
  }
  auto plain = vesk::age::decrypt(file, *identity);
  if (plain && !header) std::abort();
  return 0;
}
