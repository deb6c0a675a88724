// Finding the caller's key text, and the vault hash that names per-vault files
// under ~/.config/vesk/.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"
#include "secure.hpp"

namespace vesk::env {

// The value of an environment variable when it is set and valid UTF-8; a view
// into the environment (no copy, so key text is not left in a std::string).
std::optional<std::string_view> var(const char* name);

// The home directory: HOME when set (an empty value included), else USERPROFILE.
std::optional<std::string> home_dir();

// 16 lowercase hex digits: the first 8 bytes of SHA-256 over the path text,
// after invalid UTF-8 is replaced by U+FFFD.
std::string vault_hash(std::string_view path_text);

// The path unchanged when absolute, else the current directory joined with it;
// never canonicalised. Error: "cannot resolve vault path: ...".
Result<std::string, std::string> absolute_vault_path(std::string_view path);

// ~/.config/vesk/keys, created when missing, with it and its parent set to 0700.
Result<std::string, std::string> dirs_path();

// A key file's whole text. Refused when the path is a symbolic link or the file
// grants any permission to group or others; `label` names the file in messages.
Result<SecretText, std::string> read_secret_file(std::string_view path, std::string_view label);

// The caller's key text for the vault: VESK_KEY, the VESK_KEY_FILE file, the
// per-vault key file, or the per-vault key file of a sibling git worktree.
Result<SecretText, std::string> resolve_key_for_vault(std::string_view vault_path);

}  // namespace vesk::env
