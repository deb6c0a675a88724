// Decrypting a binary age file with one identity.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "age/format.hpp"
#include "age/identity.hpp"
#include "result.hpp"
#include "secure.hpp"

namespace vesk::age {

// A file whose header parsed and whose payload nonce is present.
struct OpenedFile {
  Header header;
  std::span<const std::uint8_t> file;
};

// Errors are the display texts of the Rust age crate's DecryptError (or of
// the I/O error met while reading), as the steps below meet them.
Result<OpenedFile, std::string> open_file(std::span<const std::uint8_t> file);

// The identity against the stanzas, then the header MAC, then the payload.
Result<SecretBytes, std::string> decrypt(const OpenedFile& opened, const Identity& identity);

// Both steps.
Result<SecretBytes, std::string> decrypt(std::span<const std::uint8_t> file, const Identity& identity);

}  // namespace vesk::age
