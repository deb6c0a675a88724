// Signer pins: trust on first use for the keys of a vault's signers.
//
// Per vault and per user, ~/.config/vesk/signer-pins/<vault hash>.json keeps
// the first verifying key seen for every signer and whether the vault was ever
// signed, so that a swapped signer key or a stripped signature is noticed.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "types.hpp"

namespace vesk::pins {

// The content of a pin file.
struct SignerPin {
  OrderedMap<std::string> signers;  // signer text -> verifying key text first seen
  bool was_signed = false;
};

// Signers consistent with the pin.
struct Reconciled {
  bool downgraded = false;          // the pin says signed, the vault is not now
  std::set<std::string> unpinned;   // signers first pinned by this call
};

// A current signer whose key differs from the pinned one.
struct KeyChanged {
  std::string signer;
};

using PinOutcome = std::variant<Reconciled, KeyChanged>;

// Compares the vault's signers with its pin, extends the pin and writes it.
// Never fails: a missing home directory or current directory turns pinning
// off for the call, and unreadable pins or failed writes are ignored.
PinOutcome reconcile(std::string_view vault_path, const OrderedMap<std::string>& signers,
                     bool signed_now);

// A pin file's text as a SignerPin; nothing when it is not one.
std::optional<SignerPin> parse_pin(std::string_view text);

// The pin file's text: two-space indented JSON, no final line feed.
std::string write_pin(const SignerPin& pin);

}  // namespace vesk::pins
