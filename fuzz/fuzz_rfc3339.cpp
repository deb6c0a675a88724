// The grant-expiry text path: the RFC 3339 parser and the quoted form that an
// unreadable expiry is shown in, plus the UTF-8 helpers they rest on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "timestamp.hpp"
#include "unicode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace vesk;
  if (const auto t = parse_rfc3339(text)) {
    // Only a leap second carries a second's worth of nanoseconds or more.
    if (t->nanos >= 2'000'000'000u) std::abort();
  }
  const std::string lossy = unicode::lossy_utf8(text);
  if (!unicode::is_valid_utf8(lossy)) std::abort();
  if (unicode::is_valid_utf8(text) && lossy != text) std::abort();
  const std::string quoted = unicode::debug_quoted(lossy);
  if (!unicode::is_valid_utf8(quoted) || quoted.size() < 2) std::abort();
  const std::string_view trimmed = unicode::trim_view(lossy);
  if (unicode::trim_view(trimmed) != trimmed) std::abort();
  return 0;
}
