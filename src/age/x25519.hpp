// age's native X25519 identities ("AGE-SECRET-KEY-1...") and recipients ("age1...").
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "age/identity.hpp"
#include "age/primitives.hpp"

namespace vesk::age {

class X25519Identity : public Identity {
 public:
  // Parses the Bech32 text (HRP compared case-insensitively, as the Rust crate does).
  static std::optional<X25519Identity> parse(std::string_view text);

  // "age1..." in lower case.
  std::string recipient_string() const;

 protected:
  Unwrap unwrap_stanza(const Stanza& s) const override;

 private:
  explicit X25519Identity(X25519Key key) : key_(std::move(key)) {}
  X25519Key key_;
};

// Parses an "age1..." recipient into its u-coordinate.
std::optional<std::array<std::uint8_t, 32>> parse_x25519_recipient(std::string_view text);

std::string x25519_recipient_string(std::span<const std::uint8_t, 32> u);

}  // namespace vesk::age
