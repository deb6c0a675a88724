// The age header grammar, as a streaming parser over an in-memory file.
#include "age/format.hpp"

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
  if (!base64_decode_unpadded(line)) return P::Err;
  c.pos = i;
  return P::Ok;
}

P decode_body(const std::string& encoded, std::vector<std::uint8_t>& body) {
  auto decoded = base64_decode_unpadded(encoded);
  if (!decoded) return P::Err;
  body = std::move(*decoded);
  return P::Ok;
}

// Strict body: full 64-character lines, then a short (maybe empty) line.
P strict_body(Cursor& c, std::vector<std::uint8_t>& body) {
  std::string encoded;
  std::string_view line;
  for (;;) {
    Cursor probe = c;
    P r = b64_line(probe, false, line);
    if (r == P::Inc) return P::Inc;
    if (r == P::Err || line.size() != kLineLen) break;
    newline(probe);
    encoded.append(line);
    c = probe;
  }
  if (P r = b64_line(c, false, line); r != P::Ok) return r;
  if (line.size() >= kLineLen) return P::Err;
  newline(c);
  encoded.append(line);
  return decode_body(encoded, body);
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
P legacy_body(Cursor& c, std::vector<std::uint8_t>& body) {
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
  std::string encoded;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    bool last = i + 1 == lines.size();
    if (last ? lines[i].size() > kLineLen : lines[i].size() != kLineLen) return P::Err;
    encoded.append(lines[i]);
  }
  return decode_body(encoded, body);
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

std::string write_stanza(std::string_view type, const std::vector<std::string>& args,
                         std::span<const std::uint8_t> body) {
  std::string out(kStanzaPrefix);
  out.append(type);
  for (const auto& a : args) out.append(" ").append(a);
  out.push_back('\n');
  std::string encoded = base64_encode_unpadded(body);
  std::size_t i = 0;
  for (; encoded.size() - i >= kLineLen; i += kLineLen) out.append(encoded, i, kLineLen).push_back('\n');
  out.append(encoded, i, std::string::npos).push_back('\n');
  return out;
}

}  // namespace vesk::age
