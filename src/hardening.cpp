#include "hardening.hpp"

#include <string>

#include "env.hpp"
#include "unicode.hpp"

namespace vesk::hardening {
namespace {

// An unset (or non-UTF-8) variable reads as the empty text, which is off.
bool switch_on(const char* name) { return strict_from(env::var(name).value_or("")); }

}  // namespace

bool strict_from(std::string_view value) {
  std::string v = unicode::trim(value);
  // Only ASCII letters fold: a non-ASCII look-alike never turns a switch on.
  for (char& c : v) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return v == "1" || v == "true" || v == "yes";
}

bool strict_mode() { return switch_on("VESK_STRICT") || switch_on("VESK_AGENT"); }

bool self_scope() { return switch_on("VESK_SELF_SCOPE") || switch_on("VESK_AGENT"); }

}  // namespace vesk::hardening
