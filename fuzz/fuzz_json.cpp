// The whole-document JSON reader on arbitrary bytes. The first byte picks the
// reader: the vault document, the meta record, or a skip of any JSON value.
// A document that a record reader accepts must also be well-formed JSON, and
// an error must point inside the text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json.hpp"
#include "types.hpp"

namespace {

void check_position(const vesk::json::Error& e, std::string_view text) {
  if (e.line < 1 || e.line > text.size() + 1 || e.column > text.size() || e.message.empty()) std::abort();
}

template <class T>
void check_result(const vesk::Result<T, vesk::json::Error>& r, std::string_view text, vesk::json::Utf8 utf8) {
  if (!r) {
    check_position(r.error(), text);
    return;
  }
  if (!vesk::json::check_document(text, utf8)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      check_result(vesk::parse_vault(text), text, vesk::json::Utf8::Trusted);
      break;
    case 1:
      check_result(vesk::parse_meta(text), text, vesk::json::Utf8::Check);
      break;
    default: {
      const auto r = vesk::json::check_document(text, vesk::json::Utf8::Check);
      if (!r) check_position(r.error(), text);
      break;
    }
  }
  return 0;
}
