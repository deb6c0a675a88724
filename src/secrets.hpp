// The value a caller gets for one secret name.
#pragma once

#include <optional>
#include <string_view>

#include "load.hpp"

namespace vesk::secrets {

// Own scoped value, else the first readable group value, else the shared
// value; the view borrows from the state.
std::optional<std::string_view> get_secret(const Vesk& state, std::string_view name,
                                           std::string_view pubkey);

}  // namespace vesk::secrets
