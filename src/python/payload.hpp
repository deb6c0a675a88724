// What a loaded Vault object owns, and the two gated ways a value leaves it.
// No Python here: the binding turns these results into Python objects.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "load.hpp"
#include "result.hpp"

namespace vesk::python {

struct Payload {
  Vault vault;
  std::string pubkey;  // the caller's own public key
  Vesk state;          // decrypted values, wiped when the payload is released
};

// Loads the vault and keeps what a Vault object needs; the identity is
// released (and wiped) once the public key is derived.
Result<std::unique_ptr<Payload>, std::string> load(const std::string& vault_path);

// The caller's value for one key after the agent policy allowed it, or nothing
// when the caller has no value (then no policy check is made).
Result<std::optional<std::string>, std::string> get(const Payload& p, std::string_view key);

// Every resolvable value, in byte-wise name order, all or nothing under the policy.
using Exported = std::vector<std::pair<std::string, std::string>>;
Result<Exported, std::string> export_all(const Payload& p);

// Wipes the plain copies once the binding has made Python objects of them.
void wipe(std::optional<std::string>& value);
void wipe(Exported& values);

}  // namespace vesk::python
