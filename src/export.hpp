// Every value a caller gets, optionally only for names with given tags.
#pragma once

#include <string_view>

#include "load.hpp"

namespace vesk::exporting {

// Same precedence as get_secret, in byte-wise name order. A non-empty tag
// list keeps only names whose schema entry carries one of the tags.
OrderedMap<SecretText> resolve_secrets(const Vault& document, const Vesk& state,
                                       std::string_view pubkey, const TextList& tags);

}  // namespace vesk::exporting
