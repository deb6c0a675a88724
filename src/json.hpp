// The JSON reader: one pass over the text straight into records, with the
// error texts and line/column positions that serde_json gives, so that the
// messages users see are the same whichever build wrote the vault.
//
// A record is declared once, as a table of its fields in declared order (that
// order is also the order of the array form). For example:
//
//   struct SignerPin {
//     OrderedMap<std::string> signers;
//     bool was_signed = false;
//   };
//
//   // Found by argument-dependent lookup: declare it in the record's namespace.
//   const json::Record& json_record(const SignerPin*) {
//     static constexpr json::Field fields[] = {
//         json::field<&SignerPin::signers>("signers", json::Missing::Error),
//         json::field<&SignerPin::was_signed>("was_signed", json::Missing::Default),
//     };
//     static constexpr json::Record record{"struct SignerPin", fields};
//     return record;
//   }
//
//   Result<SignerPin, json::Error> pin = json::parse<SignerPin>(text);
//
// Field types: std::string, bool, std::uint32_t, std::optional<V> (JSON null is
// absent), std::vector<V>, std::map / std::unordered_map from std::string to V
// (a repeated key keeps the later value), and other records. Undeclared keys
// are checked as JSON and skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "result.hpp"

namespace vesk::json {

// A reading failure: the message and where the reader stood (line from 1,
// column in bytes from the start of that line).
struct Error {
  std::string message;
  std::size_t line = 0;
  std::size_t column = 0;

  // "{message} at line {line} column {column}"
  std::string display() const;
};

// Whether the text's kept strings and keys must be checked for UTF-8. Text
// already known to be UTF-8 (a vault file read as text) needs no check; bytes
// that are not (a decrypted meta) are checked where a text is kept, while
// strings that are skipped are not.
enum class Utf8 { Trusted, Check };

// What a field takes when its key is absent from the object form, or when
// the array form ends before it.
enum class Missing {
  Error,       // "missing field `{}`" / "invalid length {}, expected ..."
  Default,     // the record's default value, in both forms
  ObjectOnly,  // absent from an object is fine; the array form must reach it
};

class Reader;

struct Field {
  std::string_view key;
  Missing missing;
  bool (*read)(Reader&, void* record);
  std::string_view alias = {};  // a second key for the same field
};

// A record's fields in declared order; at most 64 of them.
struct Record {
  std::string_view name;  // "struct Vault": the expectation of "invalid type" errors
  std::span<const Field> fields;
};

// The reader over one text. Every read either succeeds or records the first
// error and returns false; after a failure nothing more may be read.
class Reader {
 public:
  Reader(std::string_view text, Utf8 utf8);

  bool read(std::string& out);
  bool read(bool& out);
  bool read(std::uint32_t& out);

  template <class V>
  bool read(std::optional<V>& out) {
    const int null = take_null();
    if (null != 0) {
      out.reset();
      return null > 0;
    }
    return read(out.emplace());
  }

  template <class V>
  bool read(std::vector<V>& out) {
    if (!open('[', "a sequence")) return false;
    for (bool first = true;;) {
      const int more = next_element(first);
      if (more < 0) return false;
      if (more == 0) return close_seq();
      if (!read(out.emplace_back())) return false;
    }
  }

  template <class V>
  bool read(std::map<std::string, V>& out) { return read_map(out); }
  template <class V>
  bool read(std::unordered_map<std::string, V>& out) { return read_map(out); }

  template <class T>
    requires requires(const T* p) { json_record(p); }
  bool read(T& record) {
    return read_record(&record, json_record(static_cast<const T*>(nullptr)));
  }

  // Reads any one JSON value and drops it, at any depth, without recursion.
  bool skip();
  // After the document: only JSON whitespace may remain.
  bool finish();
  // The recorded error with its line and column.
  Error error() const;

 private:
  template <class M>
  bool read_map(M& out) {
    if (!open('{', "a map")) return false;
    std::string key;
    for (bool first = true;;) {
      const int more = next_key(first);
      if (more < 0) return false;
      if (more == 0) return close_map();
      if (!read_key_text(key) || !colon()) return false;
      auto [it, fresh] = out.try_emplace(key);
      if (fresh) {
        if (!read(it->second)) return false;
      } else {
        typename M::mapped_type value{};
        if (!read(value)) return false;
        it->second = std::move(value);
      }
    }
  }

  bool read_record(void* record, const Record& spec);
  bool read_record_object(void* record, const Record& spec);
  bool read_record_array(void* record, const Record& spec);

  // Container steps. open() takes the opening bracket and one unit of the
  // nesting budget; next_*() return 1 when an element or key follows, 0 at
  // the closing bracket (not yet taken), -1 on error; close_*() take the
  // closing bracket and give the budget back.
  bool open(char bracket, std::string_view expected);
  int next_item(bool& first, char close, std::string_view eof, std::string_view expected);
  int next_element(bool& first);
  int next_key(bool& first);
  bool colon();
  bool close_seq();
  bool close_map();
  bool end_seq_after_error();
  bool end_map_after_error();

  int take_null();  // 1: took null, 0: something else follows, -1: error
  bool read_key_text(std::string& out);
  bool scan_string(std::string_view& out, bool check_utf8);
  bool scan_escape();
  bool scan_unicode_escape();
  bool decode_hex4(std::uint16_t& out);
  bool skip_string();
  bool skip_escape();
  bool skip_number();
  bool skip_scalar(char c);
  bool skip_close(std::string& frames, bool& done);
  bool skip_member_key();
  bool parse_ident(std::string_view rest);

  struct Number;
  bool parse_number(Number& out);
  bool parse_integer(bool positive, Number& out);
  bool parse_fraction_or_exponent(bool positive, std::uint64_t significand, Number& out);
  bool parse_decimal(bool positive, std::uint64_t significand, std::int64_t exponent, double& out);
  bool parse_exponent(bool positive, std::uint64_t significand, std::int64_t exponent, double& out);
  bool parse_long_integer(bool positive, std::uint64_t significand, double& out);
  bool float_from_parts(bool positive, std::uint64_t significand, std::int64_t exponent, double& out);

  // Reports the value at the reader as the wrong kind: "invalid type: ...".
  bool invalid_type(std::string_view expected);

  int peek_ws();  // skips JSON whitespace; the next byte, or -1 at the end
  bool fail_at(std::size_t offset, std::string message);
  bool fail_here(std::string message) { return fail_at(pos_, std::move(message)); }
  bool fail_peek(std::string message);

  std::string_view text_;
  std::size_t pos_ = 0;
  // Containers that typed readers may still open: 127 may be open at once.
  static constexpr int kNestingBudget = 128;
  int budget_ = kNestingBudget;
  Utf8 utf8_;
  std::string scratch_;
  std::string message_;
  std::size_t error_at_ = 0;
  bool failed_ = false;
};

template <class M>
struct MemberOf;
template <class C, class V>
struct MemberOf<V C::*> {
  using Owner = C;
};

// The table row of the data member `Member`, read by its own type.
template <auto Member>
constexpr Field field(std::string_view key, Missing missing, std::string_view alias = {}) {
  using Owner = typename MemberOf<decltype(Member)>::Owner;
  return {key, missing, [](Reader& r, void* rec) { return r.read(static_cast<Owner*>(rec)->*Member); },
          alias};
}

// Reads a whole document as T: one JSON value, then only whitespace.
template <class T>
Result<T, Error> parse(std::string_view text, Utf8 utf8 = Utf8::Trusted) {
  T value{};
  Reader reader(text, utf8);
  if (reader.read(value) && reader.finish()) return value;
  return unexpected(reader.error());
}

// Checks that the text is one well-formed JSON value of any kind.
Result<void, Error> check_document(std::string_view text, Utf8 utf8 = Utf8::Trusted);

}  // namespace vesk::json
