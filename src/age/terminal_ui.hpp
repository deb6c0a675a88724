// How a plugin reaches the user, as the Rust age crate's terminal callbacks
// do: messages on standard error, secrets through a pinentry program (the one
// named by PINENTRY_PROGRAM, else `pinentry` on PATH) or the terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "secure.hpp"

namespace vesk::age::ui {

void display_message(std::string_view message);

// A secret (PIN, passphrase); empty when the user gives none or cancels.
std::optional<SecretText> request_passphrase(std::string_view description);

// Yes (true), no (false), or no answer.
std::optional<bool> confirm(std::string_view message, std::string_view yes, std::optional<std::string_view> no);

// A public string; empty when the user gives none.
std::optional<std::string> request_public_string(std::string_view description);

// Fluent wraps each substituted value in Unicode isolation marks (FSI, PDI)
// unless the application turned that off; the age messages we reproduce keep them.
std::string isolate(std::string_view value);

}  // namespace vesk::age::ui
