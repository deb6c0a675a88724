// Numbers, and the "invalid type" / "invalid value" texts that name what the
// reader found instead of what it expected.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "json.hpp"
#include "unicode.hpp"

namespace vesk::json {

struct Reader::Number {
  enum class Kind { Unsigned, Signed, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
};

namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr int kMaxPow10 = 308;

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Whether a * 10 + b would exceed limit.
bool overflows(std::uint64_t a, std::uint64_t b, std::uint64_t limit) {
  return a >= limit / 10 && (a > limit / 10 || b > limit % 10);
}

// 1e0 ... 1e308, each the correctly rounded double (strtod rounds exactly).
const std::array<double, kMaxPow10 + 1>& pow10_table() {
  static const auto table = [] {
    std::array<double, kMaxPow10 + 1> t{};
    char buf[8];
    for (int k = 0; k <= kMaxPow10; ++k) {
      std::snprintf(buf, sizeof buf, "1e%d", k);
      t[k] = std::strtod(buf, nullptr);
    }
    return t;
  }();
  return table;
}

// The shortest text that reads back to x, in the layout of Rust's ryu: plain
// digits for 1e-5 <= |x| < 1e16 (".0" added to whole numbers), else d.ddde±n.
std::string float_text(double x) {
  if (x == 0) return std::signbit(x) ? "-0.0" : "0.0";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string sign;
  if (sci.front() == '-') {
    sign = "-";
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits(sci.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point
  const int exp10 = std::atoi(std::string(sci.substr(e + 1)).c_str());
  const int len = static_cast<int>(digits.size());
  const int kk = exp10 + 1;  // where the point goes, counted from the first digit
  const int k = kk - len;
  if (k >= 0 && kk <= 16) return sign + digits + std::string(k, '0') + ".0";
  if (kk > 0 && kk <= 16) return sign + digits.substr(0, kk) + "." + digits.substr(kk);
  if (kk > -5 && kk <= 0) return sign + "0." + std::string(-kk, '0') + digits;
  std::string mantissa = len == 1 ? digits : digits.substr(0, 1) + "." + digits.substr(1);
  return sign + mantissa + "e" + std::to_string(kk - 1);
}

void append_unicode_escape(std::string& out, char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
  out += buf;
}

// Rust's debug form of a text: quoted, with escapes for the quote, the
// backslash, control and other unprintable characters.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (std::size_t pos = 0; pos < s.size();) {
    const unicode::Decoded d = unicode::decode_at(s, pos);
    const char32_t cp = d.code_point;
    if (!d.valid) {
      out += s.substr(pos, d.length);
    } else if (cp == 0) {
      out += "\\0";
    } else if (cp == '\t' || cp == '\r' || cp == '\n' || cp == '\\' || cp == '"') {
      out += cp == '\t' ? "\\t" : cp == '\r' ? "\\r" : cp == '\n' ? "\\n" : cp == '\\' ? "\\\\" : "\\\"";
    } else if ((cp > 0x2FF && unicode::is_grapheme_extend(cp)) || !unicode::is_printable(cp)) {
      append_unicode_escape(out, cp);
    } else {
      out += s.substr(pos, d.length);
    }
    pos += d.length;
  }
  return out + "\"";
}

}  // namespace

// ---- values ------------------------------------------------------------------

bool Reader::parse_integer(bool positive, Number& out) {
  if (pos_ >= text_.size()) return fail_here(std::string(kEofValue));
  const char c = text_[pos_++];
  if (c == '0') {
    // Only one leading zero.
    if (pos_ < text_.size() && is_digit(text_[pos_])) return fail_peek(std::string(kInvalidNumber));
    return parse_fraction_or_exponent(positive, 0, out);
  }
  if (!is_digit(c)) return fail_here(std::string(kInvalidNumber));
  std::uint64_t significand = static_cast<std::uint64_t>(c - '0');
  while (pos_ < text_.size() && is_digit(text_[pos_])) {
    const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
    if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
      out.kind = Number::Kind::Float;
      return parse_long_integer(positive, significand, out.f);
    }
    ++pos_;
    significand = significand * 10 + digit;
  }
  return parse_fraction_or_exponent(positive, significand, out);
}

bool Reader::parse_fraction_or_exponent(bool positive, std::uint64_t significand, Number& out) {
  const char c = pos_ < text_.size() ? text_[pos_] : '\0';
  if (c == '.' || c == 'e' || c == 'E') {
    out.kind = Number::Kind::Float;
    return c == '.' ? parse_decimal(positive, significand, 0, out.f)
                    : parse_exponent(positive, significand, 0, out.f);
  }
  if (positive) {
    out.kind = Number::Kind::Unsigned;
    out.u = significand;
    return true;
  }
  // -0 and magnitudes beyond the signed range become floating point.
  const auto negated = static_cast<std::int64_t>(std::uint64_t{0} - significand);
  if (negated >= 0) {
    out.kind = Number::Kind::Float;
    out.f = -static_cast<double>(significand);
  } else {
    out.kind = Number::Kind::Signed;
    out.i = negated;
  }
  return true;
}

bool Reader::parse_decimal(bool positive, std::uint64_t significand, std::int64_t exponent, double& out) {
  ++pos_;  // '.'
  std::int64_t after_point = 0;
  bool any_digit = false;
  while (pos_ < text_.size() && is_digit(text_[pos_])) {
    any_digit = true;
    const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
    if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
      // Digits past the significand's precision change nothing.
      while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
      break;
    }
    ++pos_;
    significand = significand * 10 + digit;
    --after_point;
  }
  if (!any_digit) return fail_peek(std::string(pos_ < text_.size() ? kInvalidNumber : kEofValue));
  exponent += after_point;
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    return parse_exponent(positive, significand, exponent, out);
  }
  return float_from_parts(positive, significand, exponent, out);
}

bool Reader::parse_exponent(bool positive, std::uint64_t significand, std::int64_t exponent, double& out) {
  ++pos_;  // 'e'
  bool positive_exp = true;
  if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) positive_exp = text_[pos_++] == '+';
  if (pos_ >= text_.size()) return fail_here(std::string(kEofValue));
  const char first = text_[pos_++];
  if (!is_digit(first)) return fail_here(std::string(kInvalidNumber));
  std::uint64_t exp = static_cast<std::uint64_t>(first - '0');
  while (pos_ < text_.size() && is_digit(text_[pos_])) {
    const auto digit = static_cast<std::uint64_t>(text_[pos_++] - '0');
    if (overflows(exp, digit, std::numeric_limits<std::int32_t>::max())) {
      // An exponent beyond 32 bits: zero, or out of range when it grows.
      if (significand != 0 && positive_exp) return fail_here(std::string(kOutOfRange));
      while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
      out = positive ? 0.0 : -0.0;
      return true;
    }
    exp = exp * 10 + digit;
  }
  const std::int64_t total = positive_exp ? exponent + static_cast<std::int64_t>(exp)
                                          : exponent - static_cast<std::int64_t>(exp);
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  return float_from_parts(positive, significand, std::clamp(total, lo, hi), out);
}

bool Reader::parse_long_integer(bool positive, std::uint64_t significand, double& out) {
  std::int64_t exponent = 0;
  while (pos_ < text_.size() && is_digit(text_[pos_])) {
    ++pos_;
    ++exponent;
  }
  const char c = pos_ < text_.size() ? text_[pos_] : '\0';
  if (c == '.') return parse_decimal(positive, significand, exponent, out);
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent, out);
  return float_from_parts(positive, significand, exponent, out);
}

// The significand scaled by a power of ten in at most a few steps; the result
// is finite or the number is out of range.
bool Reader::float_from_parts(bool positive, std::uint64_t significand, std::int64_t exponent, double& out) {
  const auto& pow10 = pow10_table();
  double f = static_cast<double>(significand);
  for (;;) {
    const std::int64_t magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude <= kMaxPow10) {
      if (exponent >= 0) {
        f *= pow10[magnitude];
        if (std::isinf(f)) return fail_here(std::string(kOutOfRange));
      } else {
        f /= pow10[magnitude];
      }
      break;
    }
    if (f == 0) break;
    if (exponent >= 0) return fail_here(std::string(kOutOfRange));
    f /= pow10[kMaxPow10];
    exponent += kMaxPow10;
  }
  out = positive ? f : -f;
  return true;
}

bool Reader::parse_number(Number& out) {
  if (text_[pos_] == '-') {
    ++pos_;
    return parse_integer(false, out);
  }
  return parse_integer(true, out);
}

// A skipped number is checked for its syntax only, never for its range.
bool Reader::skip_number() {
  if (text_[pos_] == '-') ++pos_;
  const char c = pos_ < text_.size() ? text_[pos_++] : '\0';
  if (c == '0') {
    if (pos_ < text_.size() && is_digit(text_[pos_])) return fail_peek(std::string(kInvalidNumber));
  } else if (c >= '1' && c <= '9') {
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  } else {
    return fail_here(std::string(kInvalidNumber));
  }
  if (pos_ < text_.size() && text_[pos_] == '.') {
    const std::size_t start = ++pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    if (pos_ == start) return fail_peek(std::string(kInvalidNumber));
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    const char d = pos_ < text_.size() ? text_[pos_++] : '\0';
    if (!is_digit(d)) return fail_here(std::string(kInvalidNumber));
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  }
  return true;
}

bool Reader::read(std::uint32_t& out) {
  const int c = peek_ws();
  if (c < 0) return fail_peek(std::string(kEofValue));
  if (c != '-' && !is_digit(c)) return invalid_type("u32");
  Number n;
  if (!parse_number(n)) return false;
  switch (n.kind) {
    case Number::Kind::Unsigned:
      if (n.u > std::numeric_limits<std::uint32_t>::max()) {
        return fail_here("invalid value: integer `" + std::to_string(n.u) + "`, expected u32");
      }
      out = static_cast<std::uint32_t>(n.u);
      return true;
    case Number::Kind::Signed:  // always negative
      return fail_here("invalid value: integer `" + std::to_string(n.i) + "`, expected u32");
    case Number::Kind::Float:
      break;
  }
  return fail_here("invalid type: floating point `" + float_text(n.f) + "`, expected u32");
}

// Reads the value at the reader (whitespace already skipped) to name it in
// the error; a syntax error inside it is reported instead.
bool Reader::invalid_type(std::string_view expected) {
  const char c = pos_ < text_.size() ? text_[pos_] : '\0';
  std::string found;
  if (c == 'n' || c == 't' || c == 'f') {
    ++pos_;
    if (!parse_ident(c == 'n' ? "ull" : c == 't' ? "rue" : "alse")) return false;
    found = c == 'n' ? "null" : c == 't' ? "boolean `true`" : "boolean `false`";
  } else if (c == '-' || is_digit(c)) {
    Number n;
    if (!parse_number(n)) return false;
    if (n.kind == Number::Kind::Float) {
      found = "floating point `" + float_text(n.f) + "`";
    } else {
      found = "integer `" + (n.kind == Number::Kind::Signed ? std::to_string(n.i) : std::to_string(n.u)) + "`";
    }
  } else if (c == '"') {
    ++pos_;
    std::string_view s;
    if (!scan_string(s, utf8_ == Utf8::Check)) return false;
    found = "string " + quoted(s);
  } else if (c == '[' || c == '{') {
    found = c == '[' ? "sequence" : "map";
  } else {
    return fail_peek("expected value");
  }
  return fail_here("invalid type: " + found + ", expected " + std::string(expected));
}

}  // namespace vesk::json
