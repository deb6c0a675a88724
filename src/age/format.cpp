// The age header grammar, as a streaming parser over an in-memory file.
#include "age/format.hpp"

#include <algorithm>
#include <cstring>

#include "age/base64.hpp"

namespace vesk::age {
namespace {

constexpr std::string_view kMagic = "age-encryption.org/";
constexpr std::string_view kV1 = "v1";
constexpr std::string_view kStanzaPrefix = "-> ";
constexpr std::string_view kMacPrefix = "---";
constexpr std::size_t kEncodedMacLen = 43;
constexpr std::size_t kMacLen = 32;
constexpr std::size_t kLineLen = 64;

// Like a streaming parser combinator: Inc means "ran out of input".
enum class P { Ok, Err, Inc };

struct Cursor {
  std::span<const std::uint8_t> in;
  std::size_t pos = 0;

  bool at_end() const { return pos >= in.size(); }
  char peek() const { return static_cast<char>(in[pos]); }
  std::string_view text(std::size_t from, std::size_t to) const {
    return {reinterpret_cast<const char*>(in.data()) + from, to - from};
  }
};

P tag(Cursor& c, std::string_view lit) {
  for (std::size_t i = 0; i < lit.size(); ++i) {
    if (c.pos + i >= c.in.size()) return P::Inc;
    if (static_cast<char>(c.in[c.pos + i]) != lit[i]) return P::Err;
  }
  c.pos += lit.size();
  return P::Ok;
}

P newline(Cursor& c) { return tag(c, "\n"); }

bool is_vchar(char ch) { return ch >= 33 && ch <= 126; }

// One or more bytes in 33..126; reaching the end is incomplete.
P arbitrary_string(Cursor& c, std::string* out) {
  std::size_t start = c.pos, i = c.pos;
  while (i < c.in.size() && is_vchar(static_cast<char>(c.in[i]))) ++i;
  if (i == c.in.size()) return P::Inc;
  if (i == start) return P::Err;
  if (out) *out = std::string(c.text(start, i));
  c.pos = i;
  return P::Ok;
}

// Arguments separated by exactly one space.
P arguments(Cursor& c, std::vector<std::string>& args) {
  std::string arg;
  if (P r = arbitrary_string(c, &arg); r != P::Ok) return r;
  args.push_back(arg);
  for (;;) {
    Cursor probe = c;
    if (P r = tag(probe, " "); r != P::Ok) return r == P::Inc ? P::Inc : P::Ok;
    if (P r = arbitrary_string(probe, &arg); r != P::Ok) return r == P::Inc ? P::Inc : P::Ok;
    args.push_back(arg);
    c = probe;
  }
}

// The bytes up to the next line feed, which must be valid unpadded base64;
// `non_empty` refuses an empty line. The line feed is not consumed.
P b64_line(Cursor& c, bool non_empty, std::string_view& line) {
  std::size_t i = c.pos;
  while (i < c.in.size() && c.in[i] != '\n') ++i;
  if (i == c.in.size()) return P::Inc;
  if (non_empty && i == c.pos) return P::Err;
  line = c.text(c.pos, i);
  if (!base64_unpadded_valid(line)) return P::Err;
  c.pos = i;
  return P::Ok;
}

// Strict body: full 64-character lines, then a short (maybe empty) line. Full
// lines hold whole base64 groups, so decoding line by line equals decoding
// the joined text.
P strict_body(Cursor& c, SecretBytes& body) {
  std::string_view line;
  std::size_t first = c.pos, full_lines = 0;
  for (;;) {
    Cursor probe = c;
    P r = b64_line(probe, false, line);
    if (r == P::Inc) return P::Inc;
    if (r == P::Err || line.size() != kLineLen) break;
    newline(probe);
    ++full_lines;
    c = probe;
  }
  if (P r = b64_line(c, false, line); r != P::Ok) return r;
  if (line.size() >= kLineLen) return P::Err;
  newline(c);
  body.clear();
  for (std::size_t i = 0; i < full_lines; ++i) {
    const std::size_t at = first + i * (kLineLen + 1);
    base64_append_unpadded(c.text(at, at + kLineLen), body);
  }
  base64_append_unpadded(line, body);
  return P::Ok;
}

P strict_stanza(Cursor& c, Stanza& s) {
  std::vector<std::string> args;
  if (P r = tag(c, kStanzaPrefix); r != P::Ok) return r;
  if (P r = arguments(c, args); r != P::Ok) return r;
  if (P r = newline(c); r != P::Ok) return r;
  if (P r = strict_body(c, s.body); r != P::Ok) return r;
  s.type = args.front();
  s.args.assign(args.begin() + 1, args.end());
  return P::Ok;
}

// Legacy body: non-empty lines joined by line feeds, all but the last full.
P legacy_body(Cursor& c, SecretBytes& body) {
  std::vector<std::string_view> lines;
  std::string_view line;
  if (P r = b64_line(c, true, line); r != P::Ok) return r;
  lines.push_back(line);
  for (;;) {
    Cursor probe = c;
    if (P r = newline(probe); r != P::Ok) return r == P::Inc ? P::Inc : P::Ok;
    P r = b64_line(probe, true, line);
    if (r == P::Inc) return P::Inc;
    if (r == P::Err) break;
    lines.push_back(line);
    c = probe;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    bool last = i + 1 == lines.size();
    if (last ? lines[i].size() > kLineLen : lines[i].size() != kLineLen) return P::Err;
  }
  body.clear();
  for (auto l : lines) base64_append_unpadded(l, body);
  return P::Ok;
}

P legacy_stanza(Cursor& c, Stanza& s) {
  std::vector<std::string> args;
  if (P r = tag(c, kStanzaPrefix); r != P::Ok) return r;
  if (P r = arguments(c, args); r != P::Ok) return r;
  Cursor probe = c;
  P r = newline(probe);
  if (r == P::Inc) return P::Inc;
  if (r == P::Ok) {
    r = legacy_body(probe, s.body);
    if (r == P::Inc) return P::Inc;
    if (r == P::Ok) c = probe;
    else s.body.clear();
  }
  if (P n = newline(c); n != P::Ok) return n;
  s.type = args.front();
  s.args.assign(args.begin() + 1, args.end());
  return P::Ok;
}

P any_stanza(Cursor& c, Stanza& s) {
  Cursor probe = c;
  P r = strict_stanza(probe, s);
  if (r == P::Ok) c = probe;
  if (r != P::Err) return r;
  s = Stanza{};
  return legacy_stanza(c, s);
}

P mac_line(Cursor& c, Header& h) {
  if (P r = tag(c, kMacPrefix); r != P::Ok) return r;
  h.mac_input_len = c.pos;
  if (P r = tag(c, " "); r != P::Ok) return r;
  if (c.in.size() - c.pos < kEncodedMacLen) return P::Inc;
  auto mac = base64_decode_unpadded(c.text(c.pos, c.pos + kEncodedMacLen));
  if (!mac || mac->size() != kMacLen) return P::Err;
  std::copy(mac->begin(), mac->end(), h.mac.begin());
  c.pos += kEncodedMacLen;
  return newline(c);
}

P header_v1(Cursor& c, Header& h) {
  if (P r = tag(c, kV1); r != P::Ok) return r;
  if (P r = newline(c); r != P::Ok) return r;
  for (;;) {
    Cursor probe = c;
    Stanza s;
    P r = any_stanza(probe, s);
    if (r == P::Inc) return P::Inc;
    if (r == P::Err) break;
    h.stanzas.push_back(std::move(s));
    c = probe;
  }
  if (h.stanzas.empty()) return P::Err;
  return mac_line(c, h);
}

}  // namespace

Result<Header, HeaderError> parse_header(std::span<const std::uint8_t> file) {
  Cursor c{file};
  if (P r = tag(c, kMagic); r != P::Ok) {
    return unexpected(r == P::Inc ? HeaderError::Incomplete : HeaderError::Invalid);
  }
  Cursor v1 = c;
  Header h;
  P r = header_v1(v1, h);
  if (r == P::Ok) {
    h.payload_offset = v1.pos;
    return h;
  }
  if (r == P::Inc) return unexpected(HeaderError::Incomplete);
  // Not a v1 header: any other version line is a format we do not know.
  r = arbitrary_string(c, nullptr);
  if (r == P::Ok) r = newline(c);
  if (r == P::Ok) return unexpected(HeaderError::UnknownFormat);
  return unexpected(r == P::Inc ? HeaderError::Incomplete : HeaderError::Invalid);
}

StanzaParse parse_strict_stanza(std::span<const std::uint8_t> input, Stanza& out, std::size_t& consumed) {
  Cursor c{input};
  out = Stanza{};
  P r = strict_stanza(c, out);
  if (r == P::Ok) consumed = c.pos;
  return r == P::Ok ? StanzaParse::Ok : r == P::Inc ? StanzaParse::Incomplete : StanzaParse::Invalid;
}

SecretText write_stanza(std::string_view type, const std::vector<std::string_view>& args,
                        std::span<const std::uint8_t> body) {
  // Sized once and filled in place: no partial copy of the body is left behind.
  std::size_t size = kStanzaPrefix.size() + type.size() + 1;
  for (const auto& a : args) size += 1 + a.size();
  const std::size_t encoded = (body.size() * 4 + 2) / 3;
  size += encoded + encoded / kLineLen + 1;
  SecretBytes out(size);
  char* p = reinterpret_cast<char*>(out.data());
  auto put = [&p](std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    p += s.size();
  };
  put(kStanzaPrefix);
  put(type);
  for (const auto& a : args) {
    *p++ = ' ';
    put(a);
  }
  *p++ = '\n';
  // 48 bytes make one full line; the last line is short, maybe empty.
  std::size_t column = 0;
  for (std::size_t i = 0; i < body.size(); i += 3) {
    const std::size_t k = std::min<std::size_t>(3, body.size() - i);
    std::uint32_t v = static_cast<std::uint32_t>(body[i]) << 16;
    if (k > 1) v |= static_cast<std::uint32_t>(body[i + 1]) << 8;
    if (k > 2) v |= body[i + 2];
    for (std::size_t q = 0; q <= k; ++q) *p++ = kBase64Alphabet[(v >> (18 - 6 * q)) & 63];
    column += 4;
    if (column == kLineLen) {
      *p++ = '\n';
      column = 0;
    }
  }
  *p++ = '\n';
  return SecretText(std::move(out));
}

StanzaReader::Status StanzaReader::feed(std::span<const std::uint8_t> in, std::size_t& used) {
  used = 0;
  if (state_ == State::Failed) return failure_;
  auto fail = [&](Status why) {
    state_ = State::Failed;
    failure_ = why;
    return why;
  };
  while (used < in.size()) {
    const std::uint8_t c = in[used++];
    if (++size_ > max_) return fail(Status::TooLarge);
    switch (state_) {
      case State::Prefix:
        if (c != static_cast<std::uint8_t>(kStanzaPrefix[prefix_])) return fail(Status::Invalid);
        if (++prefix_ == kStanzaPrefix.size()) {
          state_ = State::ArgStart;
          words_.emplace_back();
        }
        break;
      case State::ArgStart:
      case State::Arg:
        if (is_vchar(static_cast<char>(c))) {
          words_.back().push_back(static_cast<char>(c));
          state_ = State::Arg;
        } else if (state_ == State::Arg && c == ' ') {
          words_.emplace_back();
          state_ = State::ArgStart;
        } else if (state_ == State::Arg && c == '\n') {
          state_ = State::Body;
        } else {
          return fail(Status::Invalid);
        }
        break;
      case State::Body:
        if (Status st = body_byte(c); st != Status::NeedMore) return st == Status::Ready ? st : fail(st);
        break;
      case State::Failed:
        return failure_;
    }
  }
  return Status::NeedMore;
}

StanzaReader::Status StanzaReader::body_byte(std::uint8_t c) {
  if (c != '\n') {
    // A body line is never longer than 64 characters, so it is checked as it comes.
    if (line_len_ == kLine || !is_base64_char(static_cast<char>(c))) return Status::Invalid;
    line_[line_len_++] = static_cast<char>(c);
    return Status::NeedMore;
  }
  const std::string_view line(line_, line_len_);
  if (!base64_append_unpadded(line, stanza_.body)) return Status::Invalid;
  wipe(line_, line_len_);
  line_len_ = 0;
  return line.size() == kLine ? Status::NeedMore : Status::Ready;
}

Stanza StanzaReader::take() {
  Stanza s = std::move(stanza_);
  if (!words_.empty()) {
    s.type = std::move(words_.front());
    s.args.assign(std::make_move_iterator(words_.begin() + 1), std::make_move_iterator(words_.end()));
  }
  stanza_ = Stanza{};
  words_.clear();
  state_ = State::Prefix;
  prefix_ = 0;
  size_ = 0;
  return s;
}

}  // namespace vesk::age
