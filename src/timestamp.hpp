// RFC 3339 date-times as grant expiries use them, compared to the nanosecond.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vesk {

// A UTC instant: seconds since 1970-01-01T00:00:00Z and nanoseconds. A leap
// second (":60") is kept as ":59" with nanos of 1e9 or more, so it sorts after
// every other instant of that second and before the next one.
struct UtcTime {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;
  auto operator<=>(const UtcTime&) const = default;
};

// "YYYY-MM-DD(T|t| )hh:mm:ss[.fraction](Z|z|±hh:mm)" and nothing else; the
// offset is applied. More than nine fraction digits are accepted and ignored.
std::optional<UtcTime> parse_rfc3339(std::string_view text);

UtcTime utc_now();

}  // namespace vesk
