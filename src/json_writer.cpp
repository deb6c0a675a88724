#include "json_writer.hpp"

#include <array>

namespace vesk {
namespace {

constexpr std::string_view kIndentUnit = "  ";
constexpr unsigned char kFirstPrintable = 0x20;

// The short escapes; every other control byte becomes \u00XX.
char short_escape(unsigned char c) {
  switch (c) {
    case '\b': return 'b';
    case '\t': return 't';
    case '\n': return 'n';
    case '\f': return 'f';
    case '\r': return 'r';
    default: return 0;
  }
}

void append_escape(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('\\');
  if (c == '"' || c == '\\') {
    out.push_back(static_cast<char>(c));
  } else if (char e = short_escape(c)) {
    out.push_back(e);
  } else {
    out.append("u00");
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0f]);
  }
}

// The bytes written escaped, as a table: the writer runs over every byte of
// a document and a lookup keeps that scan cheap.
constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> t{};
  for (unsigned c = 0; c < kFirstPrintable; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

bool needs_escape(unsigned char c) { return kEscaped[c]; }

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    // Copy the longest run that needs no escape in one append.
    const char* run = p;
    while (p != end && !needs_escape(static_cast<unsigned char>(*p))) ++p;
    out.append(run, static_cast<std::size_t>(p - run));
    if (p == end) break;
    append_escape(out, static_cast<unsigned char>(*p++));
  }
  out.push_back('"');
}

void JsonWriter::indent(std::size_t depth) {
  for (std::size_t i = 0; i < depth; ++i) out_.append(kIndentUnit);
}

// The separator before an array element or a member key.
void JsonWriter::separate(Level& level) {
  if (level.has_value) out_.push_back(',');
  if (style_ == Style::Pretty) {
    out_.push_back('\n');
    indent(levels_.size());
  }
  level.has_value = true;
}

void JsonWriter::before_value() {
  if (!levels_.empty() && levels_.back().is_array) separate(levels_.back());
}

void JsonWriter::open(char bracket, bool is_array) {
  before_value();
  out_.push_back(bracket);
  levels_.push_back({is_array, false});
}

void JsonWriter::close(char bracket) {
  const bool had_value = levels_.back().has_value;
  levels_.pop_back();
  // An empty container closes on the same line: "{}" and "[]".
  if (style_ == Style::Pretty && had_value) {
    out_.push_back('\n');
    indent(levels_.size());
  }
  out_.push_back(bracket);
}

void JsonWriter::key(std::string_view name) {
  separate(levels_.back());
  append_json_string(out_, name);
  out_.append(style_ == Style::Pretty ? ": " : ":");
}

void JsonWriter::string(std::string_view text) {
  before_value();
  append_json_string(out_, text);
}

void JsonWriter::number(std::uint64_t value) {
  before_value();
  out_.append(std::to_string(value));
}

void JsonWriter::boolean(bool value) {
  before_value();
  out_.append(value ? "true" : "false");
}

void JsonWriter::null() {
  before_value();
  out_.append("null");
}

}  // namespace vesk
