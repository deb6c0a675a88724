#include "json_writer.hpp"

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

bool needs_escape(unsigned char c) { return c == '"' || c == '\\' || c < kFirstPrintable; }

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes copied unchanged
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    out.append(text.substr(run, i - run));
    append_escape(out, c);
    run = i + 1;
  }
  out.append(text.substr(run));
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
