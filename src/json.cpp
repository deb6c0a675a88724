#include "json.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "unicode.hpp"

namespace vesk::json {
namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";

bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

bool ends_string(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// The first byte at or after i that ends a plain run of string bytes: a quote,
// a backslash or a control character. Eight bytes at a time: base64 values
// make up nearly all of a vault, so this loop is the reader's hot path.
std::size_t find_string_end(std::string_view s, std::size_t i) {
  static_assert(std::endian::native == std::endian::little);
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const char* p = s.data();
  while (i + 8 <= s.size()) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    const std::uint64_t ctrl = (w - kOnes * 0x20) & ~w;
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t b = w ^ (kOnes * '\\');
    // The lowest flagged byte is always a true match: a false flag needs a
    // borrow, which only a lower matching byte can produce.
    const std::uint64_t m = (ctrl | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs;
    if (m != 0) return i + (std::countr_zero(m) >> 3);
    i += 8;
  }
  while (i < s.size() && !ends_string(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Error::display() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Reader::Reader(std::string_view text, Utf8 utf8) : text_(text), utf8_(utf8) {}

Error Reader::error() const {
  const std::string_view head = text_.substr(0, error_at_);
  const std::size_t nl = head.rfind('\n');
  const std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
  const auto lines = std::count(head.begin(), head.begin() + line_start, '\n');
  return {message_, static_cast<std::size_t>(lines) + 1, error_at_ - line_start};
}

bool Reader::fail_at(std::size_t offset, std::string message) {
  if (!failed_) {
    failed_ = true;
    message_ = std::move(message);
    error_at_ = offset;
  }
  return false;
}

// An error at a byte that was looked at but not taken points at that byte.
bool Reader::fail_peek(std::string message) {
  return fail_at(std::min(pos_ + 1, text_.size()), std::move(message));
}

int Reader::peek_ws() {
  while (pos_ < text_.size() && is_ws(text_[pos_])) ++pos_;
  return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1;
}

bool Reader::parse_ident(std::string_view rest) {
  for (char expected : rest) {
    if (pos_ >= text_.size()) return fail_here(std::string(kEofValue));
    if (text_[pos_++] != expected) return fail_here(std::string(kExpectedIdent));
  }
  return true;
}

int Reader::take_null() {
  if (peek_ws() != 'n') return 0;
  ++pos_;
  return parse_ident("ull") ? 1 : -1;
}

bool Reader::finish() {
  if (peek_ws() >= 0) return fail_peek(std::string(kTrailingCharacters));
  return true;
}

// ---- strings ---------------------------------------------------------------

// Reads the rest of a string whose opening quote was taken. Text without
// escapes is returned as a view into the input; escaped text is decoded into
// scratch_, which the next string read overwrites.
bool Reader::scan_string(std::string_view& out, bool check_utf8) {
  std::size_t start = pos_;
  bool copied = false;
  scratch_.clear();
  for (;;) {
    pos_ = find_string_end(text_, pos_);
    if (pos_ == text_.size()) return fail_here(std::string(kEofString));
    const char c = text_[pos_];
    if (c == '"') {
      if (copied) {
        scratch_.append(text_.substr(start, pos_ - start));
        out = scratch_;
      } else {
        out = text_.substr(start, pos_ - start);
      }
      ++pos_;
      if (check_utf8 && !unicode::is_valid_utf8(out)) return fail_here(std::string(kInvalidCodePoint));
      return true;
    }
    if (c != '\\') {
      ++pos_;
      return fail_here(std::string(kControlCharacter));
    }
    scratch_.append(text_.substr(start, pos_ - start));
    copied = true;
    ++pos_;
    if (!scan_escape()) return false;
    start = pos_;
  }
}

bool Reader::scan_escape() {
  if (pos_ >= text_.size()) return fail_here(std::string(kEofString));
  switch (text_[pos_++]) {
    case '"': scratch_.push_back('"'); return true;
    case '\\': scratch_.push_back('\\'); return true;
    case '/': scratch_.push_back('/'); return true;
    case 'b': scratch_.push_back('\b'); return true;
    case 'f': scratch_.push_back('\f'); return true;
    case 'n': scratch_.push_back('\n'); return true;
    case 'r': scratch_.push_back('\r'); return true;
    case 't': scratch_.push_back('\t'); return true;
    case 'u': return scan_unicode_escape();
    default: return fail_here(std::string(kInvalidEscape));
  }
}

bool Reader::decode_hex4(std::uint16_t& out) {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    return fail_here(std::string(kEofString));
  }
  int value = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    const int h = hex_value(text_[pos_ + k]);
    ok = ok && h >= 0;
    value = (value << 4) | (h & 0xF);
  }
  pos_ += 4;
  if (!ok) return fail_here(std::string(kInvalidEscape));
  out = static_cast<std::uint16_t>(value);
  return true;
}

// A \u escape of kept text: surrogates must come in proper pairs, since the
// decoded text has to be UTF-8.
bool Reader::scan_unicode_escape() {
  std::uint16_t first = 0;
  if (!decode_hex4(first)) return false;
  if (first >= 0xDC00 && first <= 0xDFFF) return fail_here(std::string(kLoneSurrogate));
  if (first < 0xD800 || first > 0xDBFF) {
    unicode::append_utf8(scratch_, first);
    return true;
  }
  for (char expected : {'\\', 'u'}) {
    if (pos_ >= text_.size()) return fail_here(std::string(kEofString));
    if (text_[pos_++] != expected) return fail_here(std::string(kEndOfHexEscape));
  }
  std::uint16_t second = 0;
  if (!decode_hex4(second)) return false;
  if (second < 0xDC00 || second > 0xDFFF) return fail_here(std::string(kLoneSurrogate));
  const char32_t cp = ((static_cast<char32_t>(first - 0xD800) << 10) | (second - 0xDC00)) + 0x10000;
  unicode::append_utf8(scratch_, cp);
  return true;
}

// A skipped string is checked for its syntax only: its bytes need not be
// UTF-8 and its escapes need not name valid code points.
bool Reader::skip_string() {
  for (;;) {
    pos_ = find_string_end(text_, pos_);
    if (pos_ == text_.size()) return fail_here(std::string(kEofString));
    const char c = text_[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\') return fail_here(std::string(kControlCharacter));
    ++pos_;
    if (!skip_escape()) return false;
  }
}

bool Reader::skip_escape() {
  if (pos_ >= text_.size()) return fail_here(std::string(kEofString));
  const char c = text_[pos_++];
  if (c == 'u') {
    std::uint16_t ignored = 0;
    return decode_hex4(ignored);
  }
  if (std::string_view("\"\\/bfnrt").find(c) == std::string_view::npos) {
    return fail_here(std::string(kInvalidEscape));
  }
  return true;
}

bool Reader::read_key_text(std::string& out) {
  ++pos_;  // the opening quote, seen by next_key
  std::string_view key;
  if (!scan_string(key, utf8_ == Utf8::Check)) return false;
  out.assign(key);
  return true;
}

bool Reader::read(std::string& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek(std::string(kEofValue));
  if (c != '"') return invalid_type("a string");
  ++pos_;
  std::string_view s;
  if (!scan_string(s, utf8_ == Utf8::Check)) return false;
  out.assign(s);
  return true;
}

bool Reader::read(bool& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek(std::string(kEofValue));
  if (c != 't' && c != 'f') return invalid_type("a boolean");
  ++pos_;
  out = c == 't';
  return parse_ident(out ? "rue" : "alse");
}

// ---- containers ------------------------------------------------------------

// Every container that a typed reader opens takes one unit of the budget, so
// a hostile document cannot drive the recursive readers into a deep stack.
bool Reader::open(char bracket, std::string_view expected) {
  const int c = peek_ws();
  if (c < 0) return fail_peek(std::string(kEofValue));
  if (c != bracket) return invalid_type(expected);
  if (--budget_ == 0) return fail_peek(std::string(kRecursionLimit));
  ++pos_;
  return true;
}

// Steps over the comma before the next item of a list or object: 1 when an
// item follows, 0 at the closing bracket, -1 after an error.
int Reader::next_item(bool& first, char close, std::string_view eof, std::string_view expected) {
  int c = peek_ws();
  if (c == close) return 0;
  if (c == ',' && !first) {
    ++pos_;
    c = peek_ws();
  } else if (c >= 0 && first) {
    first = false;
  } else {
    fail_peek(std::string(c < 0 ? eof : expected));
    return -1;
  }
  if (c == close) return fail_peek(std::string(kTrailingComma)), -1;
  if (c < 0) return fail_peek(std::string(kEofValue)), -1;
  return 1;
}

int Reader::next_element(bool& first) { return next_item(first, ']', kEofList, kListCommaOrEnd); }

int Reader::next_key(bool& first) {
  const int more = next_item(first, '}', kEofObject, kObjectCommaOrEnd);
  if (more != 1 || peek_ws() == '"') return more;
  return fail_peek(std::string(kKeyMustBeString)), -1;
}

bool Reader::colon() {
  const int c = peek_ws();
  if (c == ':') {
    ++pos_;
    return true;
  }
  return fail_peek(std::string(c < 0 ? kEofObject : kExpectedColon));
}

bool Reader::close_seq() {
  ++budget_;
  const int c = peek_ws();
  if (c == ']') {
    ++pos_;
    return true;
  }
  if (c == ',') {
    ++pos_;
    return fail_peek(std::string(peek_ws() == ']' ? kTrailingComma : kTrailingCharacters));
  }
  return fail_peek(std::string(c < 0 ? kEofList : kTrailingCharacters));
}

bool Reader::close_map() {
  ++budget_;
  const int c = peek_ws();
  if (c == '}') {
    ++pos_;
    return true;
  }
  if (c == ',') return fail_peek(std::string(kTrailingComma));
  return fail_peek(std::string(c < 0 ? kEofObject : kTrailingCharacters));
}

// A record's own errors (missing, duplicate, length) are placed where the
// reader stands after it has tried to take the closing bracket.
bool Reader::end_seq_after_error() {
  const int c = peek_ws();
  if (c == ']') ++pos_;
  if (c == ',') {
    ++pos_;
    peek_ws();
  }
  return false;
}

bool Reader::end_map_after_error() {
  if (peek_ws() == '}') ++pos_;
  return false;
}

// ---- records ---------------------------------------------------------------

bool Reader::read_record(void* record, const Record& spec) {
  const int c = peek_ws();
  if (c < 0) return fail_peek(std::string(kEofValue));
  if (c != '{' && c != '[') return invalid_type(spec.name);
  if (--budget_ == 0) return fail_peek(std::string(kRecursionLimit));
  ++pos_;
  return c == '{' ? read_record_object(record, spec) : read_record_array(record, spec);
}

namespace {

// Keys match exactly, byte for byte: no case folding, no trimming.
int find_field(const Record& spec, std::string_view key) {
  for (std::size_t i = 0; i < spec.fields.size(); ++i) {
    const Field& f = spec.fields[i];
    if (key.size() == f.key.size() && key == f.key) return static_cast<int>(i);
    if (!f.alias.empty() && key.size() == f.alias.size() && key == f.alias) return static_cast<int>(i);
  }
  return -1;
}

std::string with_backticks(std::string_view what, std::string_view name) {
  return std::string(what) + " `" + std::string(name) + "`";
}

}  // namespace

bool Reader::read_record_object(void* record, const Record& spec) {
  std::uint64_t seen = 0;
  std::string_view key;
  for (bool first = true;;) {
    const int more = next_key(first);
    if (more < 0) return false;
    if (more == 0) break;
    ++pos_;
    if (!scan_string(key, utf8_ == Utf8::Check)) return false;
    const int i = find_field(spec, key);
    if (i < 0) {
      if (!colon() || !skip()) return false;
      continue;
    }
    const Field& f = spec.fields[i];
    // Seen counts from the key alone, even when the earlier value was null.
    if (seen & (std::uint64_t{1} << i)) {
      end_map_after_error();
      return fail_here(with_backticks("duplicate field", f.key));
    }
    seen |= std::uint64_t{1} << i;
    if (!colon() || !f.read(*this, record)) return false;
  }
  for (std::size_t i = 0; i < spec.fields.size(); ++i) {
    const Field& f = spec.fields[i];
    if (!(seen & (std::uint64_t{1} << i)) && f.missing == Missing::Error) {
      end_map_after_error();
      return fail_here(with_backticks("missing field", f.key));
    }
  }
  return close_map();
}

bool Reader::read_record_array(void* record, const Record& spec) {
  bool first = true;
  bool ended = false;
  for (std::size_t i = 0; i < spec.fields.size(); ++i) {
    const Field& f = spec.fields[i];
    if (!ended) {
      const int more = next_element(first);
      if (more < 0) return false;
      ended = more == 0;
    }
    if (!ended) {
      if (!f.read(*this, record)) return false;
    } else if (f.missing != Missing::Default) {
      end_seq_after_error();
      const std::size_t n = spec.fields.size();
      return fail_here("invalid length " + std::to_string(i) + ", expected " + std::string(spec.name) +
                       " with " + std::to_string(n) + (n == 1 ? " element" : " elements"));
    }
  }
  return close_seq();
}

// ---- skipping --------------------------------------------------------------

bool Reader::skip_scalar(char c) {
  switch (c) {
    case 'n': ++pos_; return parse_ident("ull");
    case 't': ++pos_; return parse_ident("rue");
    case 'f': ++pos_; return parse_ident("alse");
    case '"': ++pos_; return skip_string();
    default: break;
  }
  if (c == '-' || (c >= '0' && c <= '9')) return skip_number();
  return fail_peek(std::string(kExpectedValue));
}

// After a value inside the open containers `frames` (innermost last): takes
// closing brackets, and the comma before the next value if one follows.
// Leaves `frames` ending with the container that the next value belongs to;
// `done` when the outermost container has closed.
bool Reader::skip_close(std::string& frames, bool& done) {
  for (;;) {
    const char cur = frames.back();
    const int c = peek_ws();
    if (c == ',') {
      ++pos_;
      return true;
    }
    if (!((c == ']' && cur == '[') || (c == '}' && cur == '{'))) {
      if (c < 0) return fail_peek(std::string(cur == '[' ? kEofList : kEofObject));
      return fail_peek(std::string(cur == '[' ? kListCommaOrEnd : kObjectCommaOrEnd));
    }
    ++pos_;
    frames.pop_back();
    if (frames.empty()) {
      done = true;
      return true;
    }
  }
}

bool Reader::skip_member_key() {
  const int c = peek_ws();
  if (c != '"') return fail_peek(std::string(c < 0 ? kEofObject : kKeyMustBeString));
  ++pos_;
  if (!skip_string()) return false;
  const int d = peek_ws();
  if (d == ':') {
    ++pos_;
    return true;
  }
  return fail_peek(std::string(d < 0 ? kEofObject : kExpectedColon));
}

// Iterative, with the open containers kept in a byte string rather than on
// the call stack, and outside the nesting budget: an undeclared value may
// nest as deep as the text allows.
bool Reader::skip() {
  std::string frames;
  for (;;) {
    const int c = peek_ws();
    if (c < 0) return fail_peek(std::string(kEofValue));
    bool fresh = false;
    if (c == '[' || c == '{') {
      ++pos_;
      frames.push_back(static_cast<char>(c));
      fresh = true;
    } else if (!skip_scalar(static_cast<char>(c))) {
      return false;
    }
    if (frames.empty()) return true;
    bool done = false;
    if (fresh) {
      // A container just opened may close at once; it takes no comma.
      const int d = peek_ws();
      const bool closes = (d == ']' && c == '[') || (d == '}' && c == '{');
      if (d < 0) return fail_peek(std::string(c == '[' ? kEofList : kEofObject));
      if (closes) {
        ++pos_;
        frames.pop_back();
        if (frames.empty()) return true;
        if (!skip_close(frames, done)) return false;
      }
    } else if (!skip_close(frames, done)) {
      return false;
    }
    if (done) return true;
    if (frames.back() == '{' && !skip_member_key()) return false;
  }
}

Result<void, Error> check_document(std::string_view text, Utf8 utf8) {
  Reader reader(text, utf8);
  if (reader.skip() && reader.finish()) return {};
  return unexpected(reader.error());
}

}  // namespace vesk::json
