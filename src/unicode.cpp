#include "unicode.hpp"

#include <array>
#include <cstdio>

namespace vesk::unicode {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct LeadByte {
  std::size_t length;        // whole sequence, 0 when the byte cannot start one
  unsigned char second_lo;   // the second byte's range excludes overlong forms,
  unsigned char second_hi;   // surrogates and code points above U+10FFFF
};

LeadByte classify(unsigned char b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

char32_t lead_bits(unsigned char b, std::size_t length) {
  if (length == 2) return b & 0x1F;
  if (length == 3) return b & 0x0F;
  return b & 0x07;
}

}  // namespace

Decoded decode_at(std::string_view bytes, std::size_t pos) {
  const auto b0 = static_cast<unsigned char>(bytes[pos]);
  if (b0 < 0x80) return {b0, 1, true, false};
  const LeadByte lead = classify(b0);
  if (lead.length == 0) return {0, 1, false, false};
  char32_t cp = lead_bits(b0, lead.length);
  for (std::size_t i = 1; i < lead.length; ++i) {
    if (pos + i >= bytes.size()) return {0, i, false, true};
    const auto b = static_cast<unsigned char>(bytes[pos + i]);
    const unsigned char lo = i == 1 ? lead.second_lo : 0x80;
    const unsigned char hi = i == 1 ? lead.second_hi : 0xBF;
    if (b < lo || b > hi) return {0, i, false, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, lead.length, true, false};
}

std::optional<Utf8Fault> first_utf8_fault(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Decoded d = decode_at(bytes, pos);
    if (!d.valid) {
      Utf8Fault fault{pos, std::nullopt};
      if (!d.truncated) fault.error_len = d.length;
      return fault;
    }
    pos += d.length;
  }
  return std::nullopt;
}

bool is_valid_utf8(std::string_view bytes) { return !first_utf8_fault(bytes).has_value(); }

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_white_space(char32_t cp) {
  static constexpr std::array<char32_t, 9> kSingles = {
      0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  if ((cp >= 0x09 && cp <= 0x0D) || (cp >= 0x2000 && cp <= 0x200A)) return true;
  for (char32_t s : kSingles) {
    if (s == cp) return true;
  }
  return false;
}

namespace {

// Length of the White_Space character that ends at `end`, or 0.
std::size_t white_space_before(std::string_view text, std::size_t end) {
  // A UTF-8 character is at most 4 bytes: try each possible start.
  for (std::size_t len = 1; len <= 4 && len <= end; ++len) {
    const Decoded d = decode_at(text, end - len);
    if (d.valid && d.length == len) return is_white_space(d.code_point) ? len : 0;
  }
  return 0;
}

}  // namespace

std::string_view trim_view(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Decoded d = decode_at(text, begin);
    if (!d.valid || !is_white_space(d.code_point)) break;
    begin += d.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t len = white_space_before(text, end);
    if (len == 0) break;
    end -= len;
  }
  return text.substr(begin, end - begin);
}

std::string trim(std::string_view text) { return std::string(trim_view(text)); }

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Decoded d = decode_at(bytes, pos);
    if (d.valid) {
      out.append(bytes.substr(pos, d.length));
    } else {
      append_utf8(out, kReplacement);
    }
    pos += d.length;
  }
  return out;
}

}  // namespace vesk::unicode

namespace vesk::unicode {
namespace {

void append_escape(std::string& out, char32_t cp) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
  out.append(hex);
}

// The short escapes; 0 when the character has none.
char short_escape(char32_t cp) {
  switch (cp) {
    case U'\0': return '0';
    case U'\t': return 't';
    case U'\r': return 'r';
    case U'\n': return 'n';
    case U'\\': return '\\';
    case U'"': return '"';
    default: return 0;
  }
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded d = decode_at(text, pos);
    const char32_t cp = d.valid ? d.code_point : kReplacement;
    if (const char e = short_escape(cp)) {
      out.push_back('\\');
      out.push_back(e);
    } else if ((cp >= 0x80 && is_grapheme_extend(cp)) || !is_printable(cp)) {
      append_escape(out, cp);
    } else {
      append_utf8(out, cp);
    }
    pos += d.length;
  }
  out.push_back('"');
  return out;
}

std::array<std::string_view, 2> first_two_tokens(std::string_view text) {
  std::array<std::string_view, 2> tokens;
  std::size_t found = 0;
  std::size_t start = std::string_view::npos;
  for (std::size_t pos = 0; pos <= text.size() && found < tokens.size();) {
    const auto d = pos < text.size() ? decode_at(text, pos) : Decoded{};
    const bool boundary = pos == text.size() || (d.valid && is_white_space(d.code_point));
    if (boundary && start != std::string_view::npos) {
      tokens[found++] = text.substr(start, pos - start);
      start = std::string_view::npos;
    } else if (!boundary && start == std::string_view::npos) {
      start = pos;
    }
    pos += d.length;
  }
  return tokens;
}

}  // namespace vesk::unicode
