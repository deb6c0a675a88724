#include "secrets.hpp"

namespace vesk::secrets {

std::optional<std::string_view> get_secret(const Vesk& state, std::string_view name,
                                           std::string_view pubkey) {
  const std::string key(name);
  if (auto s = state.scoped.find(key); s != state.scoped.end()) {
    if (auto v = s->second.find(std::string(pubkey)); v != s->second.end()) return v->second.view();
  }
  if (auto g = state.grouped.find(key); g != state.grouped.end() && !g->second.empty()) {
    return g->second.begin()->second.view();
  }
  if (auto v = state.values.find(key); v != state.values.end()) return v->second.view();
  return std::nullopt;
}

}  // namespace vesk::secrets
