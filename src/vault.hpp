// Reading the vault file from disk into the document.
#pragma once

#include <string>

#include "error.hpp"
#include "result.hpp"
#include "types.hpp"

namespace vesk::vault {

// Reads and parses the vault file at `path` (relative paths against the
// current directory; nothing is made absolute or canonical). A symbolic link
// as the final component is refused; the document's version must be "2" or
// begin with "2.".
Result<Vault, VaultReadError> read(const std::string& path);

}  // namespace vesk::vault
