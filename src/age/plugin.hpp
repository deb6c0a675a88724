// age plugins: identity and recipient texts, and the client side of the
// identity-v1 protocol over an `age-plugin-<name>` program found on PATH.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "age/identity.hpp"
#include "result.hpp"
#include "secure.hpp"

namespace vesk::age {

// "AGE-PLUGIN-<NAME>-1..." as the Rust crate parses it.
struct PluginIdentity {
  std::string name;      // lower case
  SecretText identity;   // the text as given: it is the key
  static std::optional<PluginIdentity> parse(std::string_view text);
};

// "age1<name>1..." as the Rust crate parses it.
struct PluginRecipient {
  std::string name;
  std::string recipient;
  static std::optional<PluginRecipient> parse(std::string_view text);
};

// Finds a program by name on PATH, absolute entries only; its canonical path.
std::optional<std::string> find_program(std::string_view name);

// Finds `age-plugin-<name>` on PATH (absolute entries only, never the current
// directory). The error is the text the Rust crate shows for it.
Result<std::string, std::string> resolve_plugin(std::string_view name);

// One plugin identity driven through its program; the user interaction goes
// to the terminal (messages on standard error, secrets through pinentry or
// the terminal).
class PluginIdentityV1 : public Identity {
 public:
  PluginIdentityV1(std::string program, PluginIdentity identity)
      : program_(std::move(program)), identity_(std::move(identity)) {}
  Unwrap unwrap_stanzas(std::span<const Stanza> stanzas) const override;

 private:
  std::string program_;
  PluginIdentity identity_;
};

}  // namespace vesk::age
