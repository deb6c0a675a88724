// The age v1 header: parsing only, no cryptography.
//
// Mirrors the Rust age crate's streaming parser: running out of input is
// "incomplete", a mismatch is "invalid", a version line other than v1 is an
// unknown format. Stanza bodies may use the legacy encoding (no final short
// line), which the crate still reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace vesk::age {

struct Stanza {
  std::string type;
  std::vector<std::string> args;
  std::vector<std::uint8_t> body;
};

struct Header {
  std::vector<Stanza> stanzas;
  std::array<std::uint8_t, 32> mac{};
  std::size_t mac_input_len = 0;  // bytes covered by the MAC: up to and including "---"
  std::size_t payload_offset = 0; // first byte after the MAC line
};

enum class HeaderError { Invalid, UnknownFormat, Incomplete };

Result<Header, HeaderError> parse_header(std::span<const std::uint8_t> file);

// Outcome of reading one stanza in the strict grammar (the plugin wire format).
enum class StanzaParse { Ok, Invalid, Incomplete };

// Parses one strict stanza ("-> " line, wrapped body, short last line) at the
// start of `input`; on success sets `consumed`.
StanzaParse parse_strict_stanza(std::span<const std::uint8_t> input, Stanza& out, std::size_t& consumed);

// Writes one stanza in the strict grammar.
std::string write_stanza(std::string_view type, const std::vector<std::string>& args,
                         std::span<const std::uint8_t> body);

}  // namespace vesk::age
