// Process-wide switches read from the environment on every call.
#pragma once

#include <string_view>

namespace vesk::hardening {

// A switch value is on when, trimmed of White_Space and with A-Z lower-cased,
// it is exactly "1", "true" or "yes".
bool strict_from(std::string_view value);

// Strict mode: VESK_STRICT or VESK_AGENT is on. Key files are not searched and
// a vault whose signature was stripped is refused.
bool strict_mode();

// Agent mode: VESK_SELF_SCOPE is on, else VESK_AGENT is on.
bool self_scope();

}  // namespace vesk::hardening
