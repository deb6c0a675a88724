// Plugin identity and recipient texts, and finding a plugin's program.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "age/bech32.hpp"
#include "age/plugin.hpp"

namespace vesk::age {
namespace {

constexpr std::string_view kIdentityPrefix = "age-plugin-";
constexpr std::string_view kRecipientPrefix = "age1";
constexpr std::string_view kBinaryPrefix = "age-plugin-";

// Names become part of a program name: only letters, digits and "+-._".
bool valid_plugin_name(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
              c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool is_executable_file(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<PluginIdentity> PluginIdentity::parse(std::string_view text) {
  auto decoded = bech32_decode(text);
  if (!decoded || decoded->hrp.size() <= kIdentityPrefix.size() || !decoded->hrp.starts_with(kIdentityPrefix)) {
    return std::nullopt;
  }
  std::string_view name = std::string_view(decoded->hrp).substr(kIdentityPrefix.size());
  while (!name.empty() && name.back() == '-') name.remove_suffix(1);
  if (!valid_plugin_name(name)) return std::nullopt;
  return PluginIdentity{std::string(name), SecretText(text)};
}

std::optional<PluginRecipient> PluginRecipient::parse(std::string_view text) {
  auto decoded = bech32_decode(text);
  if (!decoded || decoded->hrp.size() <= kRecipientPrefix.size() || !decoded->hrp.starts_with(kRecipientPrefix)) {
    return std::nullopt;
  }
  std::string name = decoded->hrp.substr(kRecipientPrefix.size());
  if (!valid_plugin_name(name)) return std::nullopt;
  return PluginRecipient{std::move(name), std::string(text)};
}

std::optional<std::string> find_program(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "";
  while (true) {
    std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    // Relative and empty entries would search the current directory: skipped.
    if (!dir.empty() && dir.front() == '/') {
      std::string candidate = std::string(dir) + (dir.back() == '/' ? "" : "/") + std::string(name);
      char resolved[PATH_MAX];
      if (is_executable_file(candidate) && ::realpath(candidate.c_str(), resolved)) return std::string(resolved);
    }
    if (colon == std::string_view::npos) return std::nullopt;
    dirs = dirs.substr(colon + 1);
  }
}

Result<std::string, std::string> resolve_plugin(std::string_view name) {
  std::string binary = std::string(kBinaryPrefix) + std::string(name);
  if (auto found = find_program(binary)) return std::move(*found);
  // The Rust crate reports the program name it could not find.
  return unexpected(binary);
}

}  // namespace vesk::age
