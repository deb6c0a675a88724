// What an identity does with a header: find the stanza it can open.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "age/format.hpp"
#include "age/primitives.hpp"

namespace vesk::age {

// Texts of the Rust age crate's DecryptError variants that identities raise.
inline constexpr const char* kErrHeaderInvalid = "Header is invalid";
inline constexpr const char* kErrDecryptionFailed = "Decryption failed";

// One identity against the stanzas: no match (try the next identity), the
// file key, or an error that ends decryption.
struct Unwrap {
  enum class Kind { NoMatch, Key, Error };
  Kind kind = Kind::NoMatch;
  FileKey key;
  std::string error;

  static Unwrap no_match() { return {}; }
  static Unwrap found(const FileKey& k) { return {Kind::Key, k, {}}; }
  static Unwrap fail(std::string e) { return {Kind::Error, {}, std::move(e)}; }
};

class Identity {
 public:
  virtual ~Identity() = default;
  // Walks the stanzas in header order; the first stanza that does not give
  // "no match" decides.
  virtual Unwrap unwrap_stanzas(std::span<const Stanza> stanzas) const {
    for (const auto& s : stanzas) {
      Unwrap u = unwrap_stanza(s);
      if (u.kind != Unwrap::Kind::NoMatch) return u;
    }
    return Unwrap::no_match();
  }

 protected:
  virtual Unwrap unwrap_stanza(const Stanza&) const { return Unwrap::no_match(); }
};

// Opens a 32-byte stanza body (a 16-byte file key and its tag) with a wrap key
// under the all-zero nonce, safe because every wrap key is used only once.
std::optional<FileKey> open_file_key(const Key32& wrap_key, std::span<const std::uint8_t> body);

}  // namespace vesk::age
