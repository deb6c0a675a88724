// The two JSON writers of the system: compact (the signed vault view) and
// two-space indented (the signer-pin file).
//
// Both write exactly what the tool on the other side writes: only the
// quotation mark, the backslash and bytes below 0x20 are escaped; every other
// byte, "/" and non-ASCII UTF-8 included, is copied. The caller writes map
// members in byte-wise key order; nothing ends with a line feed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// Appends `text` as a JSON string, quotes included.
void append_json_string(std::string& out, std::string_view text);

class JsonWriter {
 public:
  enum class Style { Compact, Pretty };

  JsonWriter(std::string& out, Style style) : out_(out), style_(style) {}

  void begin_object() { open('{', false); }
  void end_object() { close('}'); }
  void begin_array() { open('[', true); }
  void end_array() { close(']'); }
  // A member key; the member's value is the next value written.
  void key(std::string_view name);
  void string(std::string_view text);
  void number(std::uint64_t value);
  void boolean(bool value);
  void null();

 private:
  struct Level {
    bool is_array;
    bool has_value;
  };

  void open(char bracket, bool is_array);
  void close(char bracket);
  void before_value();
  void separate(Level& level);
  void indent(std::size_t depth);

  std::string& out_;
  Style style_;
  std::vector<Level> levels_;
};

}  // namespace vesk
