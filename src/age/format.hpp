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
#include "secure.hpp"

namespace vesk::age {

struct Stanza {
  std::string type;
  std::vector<std::string> args;
  SecretBytes body;  // a plugin's reply may carry a file key here
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

// The same strict grammar read from a stream that arrives in pieces of any
// size: each byte is looked at once, so a reply costs time linear in its
// length however it is split. A stanza longer than `max_stanza` bytes is
// refused as soon as that length is crossed. Input the grammar cannot
// continue with is refused at once; the whole-buffer parser above waits for
// the end of a body line to say so, and otherwise the two agree.
class StanzaReader {
 public:
  enum class Status { NeedMore, Ready, Invalid, TooLarge };

  explicit StanzaReader(std::size_t max_stanza) : max_(max_stanza) {}
  ~StanzaReader() { wipe(line_, sizeof line_); }
  StanzaReader(const StanzaReader&) = delete;
  StanzaReader& operator=(const StanzaReader&) = delete;

  // Reads from `in` up to the end of the next stanza; `used` says how far.
  // After Invalid or TooLarge the reader stays in that state.
  Status feed(std::span<const std::uint8_t> in, std::size_t& used);

  // The stanza completed by the last Ready; reading then starts afresh.
  Stanza take();

 private:
  enum class State { Prefix, ArgStart, Arg, Body, Failed };
  static constexpr std::size_t kLine = 64;

  Status body_byte(std::uint8_t c);

  std::size_t max_;
  std::size_t size_ = 0;     // bytes of the current stanza so far
  State state_ = State::Prefix;
  Status failure_ = Status::Invalid;
  std::size_t prefix_ = 0;   // characters of "-> " matched
  Stanza stanza_;
  std::vector<std::string> words_;  // command and arguments
  char line_[kLine] = {};    // the body line being read
  std::size_t line_len_ = 0;
};

// Writes one stanza in the strict grammar, into wiping storage: the body may
// be a secret the user typed.
SecretText write_stanza(std::string_view type, const std::vector<std::string_view>& args,
                        std::span<const std::uint8_t> body);

}  // namespace vesk::age
