// A plugin's reply read in pieces, as the client reads its pipe: the first
// two bytes choose the piece sizes, the rest is the reply. The stanzas and
// the ending must be those of the whole-buffer parser, which only differs in
// waiting for a line's end before refusing it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "age/format.hpp"

namespace {

using vesk::age::Stanza;

enum class End { Incomplete, Invalid };

struct Outcome {
  std::vector<Stanza> stanzas;
  End end = End::Incomplete;
};

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Outcome whole(std::string_view input) {
  Outcome o;
  for (;;) {
    Stanza s;
    std::size_t used = 0;
    auto r = vesk::age::parse_strict_stanza(bytes(input), s, used);
    if (r == vesk::age::StanzaParse::Incomplete) return o;
    if (r == vesk::age::StanzaParse::Invalid) {
      o.end = End::Invalid;
      return o;
    }
    if (used == 0) std::abort();
    o.stanzas.push_back(std::move(s));
    input.remove_prefix(used);
  }
}

Outcome streamed(std::string_view input, std::uint32_t seed) {
  Outcome o;
  vesk::age::StanzaReader reader(SIZE_MAX);
  while (!input.empty()) {
    seed = seed * 1103515245u + 12345u;
    std::string_view piece = input.substr(0, 1 + (seed >> 16) % 97);
    input.remove_prefix(piece.size());
    while (!piece.empty()) {
      std::size_t used = 0;
      auto st = reader.feed(bytes(piece), used);
      if (used > piece.size() || (used == 0 && st == vesk::age::StanzaReader::Status::NeedMore)) std::abort();
      piece.remove_prefix(used);
      if (st == vesk::age::StanzaReader::Status::Ready) o.stanzas.push_back(reader.take());
      if (st == vesk::age::StanzaReader::Status::Invalid) {
        o.end = End::Invalid;
        return o;
      }
      if (st == vesk::age::StanzaReader::Status::TooLarge) std::abort();
    }
  }
  return o;
}

bool same(const Stanza& a, const Stanza& b) { return a.type == b.type && a.args == b.args && a.body == b.body; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t seed = data[0] | (data[1] << 8);
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
  const Outcome w = whole(input), s = streamed(input, seed);
  if (s.stanzas.size() != w.stanzas.size()) std::abort();
  for (std::size_t i = 0; i < w.stanzas.size(); ++i) {
    if (!same(s.stanzas[i], w.stanzas[i])) std::abort();
  }
  if (s.end != w.end) {
    // Only a refusal the whole-buffer parser makes at the line's end.
    if (s.end != End::Invalid || whole(std::string(input) + "\n").end != End::Invalid) std::abort();
  }
  return 0;
}
