#include "timestamp.hpp"

#include <time.h>

namespace vesk {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;
constexpr int kFractionDigits = 9;
constexpr int kLeapSecond = 60;
constexpr std::string_view kMinusSign = "\u2212";  // U+2212, accepted as an offset sign

// A cursor over the text; every reader fails on anything unexpected.
struct Cursor {
  std::string_view s;
  std::size_t pos = 0;

  bool at_end() const { return pos == s.size(); }
  bool digit() const { return !at_end() && s[pos] >= '0' && s[pos] <= '9'; }
  bool take(char c) {
    if (at_end() || s[pos] != c) return false;
    ++pos;
    return true;
  }
  bool take(std::string_view t) {
    if (!s.substr(pos).starts_with(t)) return false;
    pos += t.size();
    return true;
  }
  std::optional<int> number(int width) {
    int v = 0;
    for (int i = 0; i < width; ++i) {
      if (!digit()) return std::nullopt;
      v = v * 10 + (s[pos++] - '0');
    }
    return v;
  }
};

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap_year(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Fields {
  int year, month, day, hour, minute, second;
};

std::optional<Fields> date_time(Cursor& c) {
  auto y = c.number(4);
  if (!y || !c.take('-')) return std::nullopt;
  auto mo = c.number(2);
  if (!mo || !c.take('-')) return std::nullopt;
  auto d = c.number(2);
  if (!d || !(c.take('T') || c.take('t') || c.take(' '))) return std::nullopt;
  auto h = c.number(2);
  if (!h || !c.take(':')) return std::nullopt;
  auto mi = c.number(2);
  if (!mi || !c.take(':')) return std::nullopt;
  auto s = c.number(2);
  if (!s) return std::nullopt;
  return Fields{*y, *mo, *d, *h, *mi, *s};
}

std::optional<std::uint32_t> fraction(Cursor& c) {
  if (!c.take('.')) return 0;
  if (!c.digit()) return std::nullopt;
  std::uint32_t nanos = 0;
  int kept = 0;
  for (; c.digit(); ++c.pos, ++kept) {
    // Digits past the ninth are read and dropped, without rounding.
    if (kept < kFractionDigits) nanos = nanos * 10 + static_cast<std::uint32_t>(c.s[c.pos] - '0');
  }
  for (; kept < kFractionDigits; ++kept) nanos *= 10;
  return nanos;
}

std::optional<int> offset(Cursor& c) {
  if (c.take('Z') || c.take('z')) return 0;
  int sign = 0;
  if (c.take('+')) sign = 1;
  else if (c.take('-') || c.take(kMinusSign)) sign = -1;
  else return std::nullopt;
  auto h = c.number(2);
  if (!h || !c.take(':')) return std::nullopt;
  auto m = c.number(2);
  if (!m || *h > 23 || *m > 59) return std::nullopt;
  return sign * (*h * 3600 + *m * 60);
}

bool in_range(const Fields& f) {
  return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= days_in_month(f.year, f.month) &&
         f.hour <= 23 && f.minute <= 59 && f.second <= kLeapSecond;
}

}  // namespace

std::optional<UtcTime> parse_rfc3339(std::string_view text) {
  Cursor c{text};
  auto f = date_time(c);
  if (!f) return std::nullopt;
  auto nanos = fraction(c);
  auto off = nanos ? offset(c) : std::nullopt;
  if (!off || !c.at_end() || !in_range(*f)) return std::nullopt;
  const bool leap = f->second == kLeapSecond;
  const std::int64_t local = days_from_civil(f->year, f->month, f->day) * kSecondsPerDay +
                             f->hour * 3600 + f->minute * 60 + (leap ? kLeapSecond - 1 : f->second);
  return UtcTime{local - *off, *nanos + (leap ? kNanosPerSecond : 0)};
}

UtcTime utc_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

}  // namespace vesk
