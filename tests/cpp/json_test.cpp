// The JSON layer: syntax errors, positions, skipping, nesting budget and the
// record interface, on test records of its own.
#include <gtest/gtest.h>

#include <string>

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

template <class T>
std::string outcome(std::string_view doc) {
  auto r = json::parse<T>(doc);
  return r ? "ok" : r.error().display();
}

std::string skip_outcome(std::string_view doc) {
  auto r = json::check_document(doc);
  return r ? "ok" : r.error().display();
}

struct Row {
  std::string doc;
  std::string expected;
};

TEST(Json, SyntaxErrorsOfSkippedValues) {
  const Row rows[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[1,]", "expected value at line 1 column 4"},  // no "trailing comma" when skipping
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,}", "key must be a string at line 1 column 8"},
      {"[[", "EOF while parsing a list at line 1 column 2"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "invalid number at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.", "invalid number at line 1 column 2"},
      {"1.e1", "invalid number at line 1 column 3"},
      {"1e", "invalid number at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e999", "ok"},  // a skipped number is not range-checked
      {"\"\\q\"", "invalid escape at line 1 column 3"},
      {"\"\\u12\"}", "invalid escape at line 1 column 7"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\udc00\"", "ok"},  // skipped strings need not be valid text
      {"\"\xff\"", "ok"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"ab", "EOF while parsing a string at line 1 column 3"},
      {"[{\"a\":[1,{\"b\":null}],\"c\":\"\\u00e9\"},-0.5e-3,true,false]  \n", "ok"},
  };
  for (const auto& r : rows) EXPECT_EQ(skip_outcome(r.doc), r.expected) << r.doc;
}

TEST(Json, DeepUndeclaredValuesAreSkippedWithoutRecursion) {
  constexpr std::size_t kDepth = 1'000'000;
  const std::string open(kDepth, '['), close(kDepth, ']');
  const std::string doc = "{\"x\":" + open + close + ",\"signers\":{}}";
  EXPECT_EQ(outcome<Pin>(doc), "ok");
  EXPECT_EQ(outcome<Pin>("{\"x\":" + open), "EOF while parsing a list at line 1 column " +
                                                 std::to_string(5 + kDepth));
  const std::string objects = [] {
    std::string s;
    for (std::size_t i = 0; i < kDepth; ++i) s += "{\"a\":";
    return s + "1" + std::string(kDepth, '}');
  }();
  EXPECT_EQ(skip_outcome(objects), "ok");
}

TEST(Json, NestingBudgetOfDeclaredContainers) {
  // 127 containers may be open at once; the 128th is refused at its bracket.
  EXPECT_EQ(outcome<Nest>(std::string(127, '[') + std::string(127, ']')), "ok");
  EXPECT_EQ(outcome<Nest>(std::string(128, '[') + std::string(128, ']')),
            "recursion limit exceeded at line 1 column 128");
  // The budget is given back as containers close.
  std::string wide = "[[";
  for (int i = 0; i < 300; ++i) wide += std::string(i ? "," : "") + "[[]]";
  EXPECT_EQ(outcome<Nest>(wide + "]]"), "ok");
}

TEST(Json, RecordInterface) {
  const Row rows[] = {
      {"{\"signers\":{\"b\":\"2\",\"a\":\"1\",\"b\":\"3\"},\"was_signed\":true}", "ok"},
      {"{\"signers\":{}}", "ok"},
      {"[{}]", "ok"},
      {"[{},false]", "ok"},
      {"[]", "invalid length 0, expected struct Pin with 2 elements at line 1 column 2"},
      {"[{},false,1]", "trailing characters at line 1 column 11"},
      {"[{},false,]", "trailing comma at line 1 column 11"},
      {"{\"signers\":{},\"was_signed\":null}", "invalid type: null, expected a boolean at line 1 column 31"},
      {"{\"signers\":{},\"was_signed\":\"true\"}",
       "invalid type: string \"true\", expected a boolean at line 1 column 33"},
      {"{\"signers\":{},\"was_signed\":1}", "invalid type: integer `1`, expected a boolean at line 1 column 28"},
      {"{\"signers\":{\"a\":1}}", "invalid type: integer `1`, expected a string at line 1 column 17"},
      {"{\"signers\":{\"a\" \"1\"}}", "expected `:` at line 1 column 17"},
      {"{\"signers\":{\"a\":\"1\",}}", "trailing comma at line 1 column 21"},
      {"{\"signers\":{},}", "trailing comma at line 1 column 15"},
      {"{\"signers\":{}} x", "trailing characters at line 1 column 16"},
      {"\"pin\"", "invalid type: string \"pin\", expected struct Pin at line 1 column 5"},
      {"{\"signers\":[]}", "invalid type: sequence, expected a map at line 1 column 11"},
      {"{\"was_signed\":false}", "missing field `signers` at line 1 column 20"},
  };
  for (const auto& r : rows) EXPECT_EQ(outcome<Pin>(r.doc), r.expected) << r.doc;

  auto pin = json::parse<Pin>("{\"signers\":{\"b\":\"2\",\"a\":\"1\",\"b\":\"3\"},\"was_signed\":true}");
  ASSERT_TRUE(pin);
  EXPECT_EQ(pin->signers, (std::map<std::string, std::string>{{"a", "1"}, {"b", "3"}}));
  EXPECT_TRUE(pin->was_signed);
}

TEST(Json, ErrorDisplayAndLines) {
  EXPECT_EQ((json::Error{"m", 3, 0}).display(), "m at line 3 column 0");
  EXPECT_EQ(outcome<Pin>("{\n  \"signers\": {},\n  \"was_signed\": 7\n}"),
            "invalid type: integer `7`, expected a boolean at line 3 column 17");
  EXPECT_EQ(outcome<Pin>("{\n\"signers\":{}\n,\n"), "EOF while parsing a value at line 4 column 0");
}

}  // namespace jt
