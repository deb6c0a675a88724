// The JSON layer: syntax errors, positions, skipping, nesting budget and the
// record interface, on test records of its own.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "json.hpp"

namespace jt {

using namespace vesk;

struct Pin {
  std::map<std::string, std::string> signers;
  bool was_signed = false;
};

const json::Record& json_record(const Pin*) {
  static constexpr json::Field fields[] = {
      json::field<&Pin::signers>("signers", json::Missing::Error),
      json::field<&Pin::was_signed>("was_signed", json::Missing::Default),
  };
  static constexpr json::Record record{"struct Pin", fields};
  return record;
}

// Nests a record and a list at each level: two units of budget per level.
struct Nest {
  std::vector<Nest> kids;
};

const json::Record& json_record(const Nest*) {
  static constexpr json::Field fields[] = {json::field<&Nest::kids>("k", json::Missing::Default)};
  static constexpr json::Record record{"struct Nest", fields};
  return record;
}

using Rows = std::vector<std::pair<std::string, std::string>>;

// Each row: the document and "ok" or the error's display text.
template <class Check>
void expect_outcomes(Check check, const Rows& rows) {
  for (const auto& [doc, want] : rows) {
    auto r = check(doc);
    EXPECT_EQ(r ? "ok" : r.error().display(), want) << doc;
  }
}

const auto skip = [](std::string_view doc) { return json::check_document(doc); };
template <class T>
const auto typed = [](std::string_view doc) { return json::parse<T>(doc); };

TEST(Json, SyntaxErrorsOfSkippedValues) {
  expect_outcomes(skip, {
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[1,]", "expected value at line 1 column 4"},  // no "trailing comma" when skipping
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1,}", "key must be a string at line 1 column 8"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "invalid number at line 1 column 1"},
      {"1.", "invalid number at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e999", "ok"},  // a skipped number is not range-checked
      {"\"\\q\"", "invalid escape at line 1 column 3"},
      {"\"\\u12\"}", "invalid escape at line 1 column 7"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\udc00\xff\"", "ok"},  // skipped strings need not be valid text
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"[{\"a\":[1,{\"b\":null}],\"c\":\"\\u00e9\"},-0.5e-3,true,false]  \n", "ok"},
  });
}

TEST(Json, DeepUndeclaredValuesAreSkippedWithoutRecursion) {
  constexpr std::size_t kDepth = 1'000'000;
  const std::string open(kDepth, '['), close(kDepth, ']');
  EXPECT_TRUE(json::parse<Pin>("{\"x\":" + open + close + ",\"signers\":{}}"));
  EXPECT_EQ(json::parse<Pin>("{\"x\":" + open).error().display(),
            "EOF while parsing a list at line 1 column " + std::to_string(5 + kDepth));
  std::string objects;
  for (std::size_t i = 0; i < kDepth; ++i) objects += "{\"a\":";
  EXPECT_TRUE(json::check_document(objects + "1" + std::string(kDepth, '}')));
}

TEST(Json, NestingBudgetOfDeclaredContainers) {
  // 127 containers may be open at once; the 128th is refused at its bracket.
  // The budget is given back as containers close.
  std::string wide = "[[";
  for (int i = 0; i < 300; ++i) wide += std::string(i ? "," : "") + "[[]]";
  expect_outcomes(typed<Nest>, {
      {std::string(127, '[') + std::string(127, ']'), "ok"},
      {std::string(128, '[') + std::string(128, ']'), "recursion limit exceeded at line 1 column 128"},
      {wide + "]]", "ok"},
  });
}

TEST(Json, RecordInterface) {
  expect_outcomes(typed<Pin>, {
      {"{\"signers\":{}}", "ok"},
      {"[{}]", "ok"},
      {"[]", "invalid length 0, expected struct Pin with 2 elements at line 1 column 2"},
      {"[{},false,1]", "trailing characters at line 1 column 11"},
      {"[{},false,]", "trailing comma at line 1 column 11"},
      {"{\"signers\":[]}", "invalid type: sequence, expected a map at line 1 column 11"},
      {"{\"signers\":{\"a\" \"1\"}}", "expected `:` at line 1 column 17"},
      {"{\"signers\":{\"a\":\"1\",}}", "trailing comma at line 1 column 21"},
      {"{\"signers\":{} \"was_signed\":true}", "expected `,` or `}` at line 1 column 15"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      // Lines count from 1, columns in bytes from the line's start.
      {"{\n  \"signers\": {},\n  \"was_signed\": 7\n}",
       "invalid type: integer `7`, expected a boolean at line 3 column 17"},
      {"{\n\"signers\":{}\n,\n", "EOF while parsing a value at line 4 column 0"},
  });
  auto pin = json::parse<Pin>("{\"signers\":{\"b\":\"2\",\"a\":\"1\",\"b\":\"3\",\"c\":\"\\ud800\\udc00\"},\"was_signed\":true}");
  ASSERT_TRUE(pin);
  EXPECT_EQ(pin->signers, (std::map<std::string, std::string>{{"a", "1"}, {"b", "3"}, {"c", "\xF0\x90\x80\x80"}}));
  EXPECT_TRUE(pin->was_signed);
}

}  // namespace jt
