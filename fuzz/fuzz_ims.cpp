// If-Modified-Since dates. Arbitrary text must never overflow (UBSan traps
// on signed overflow); dates built from fuzzed fields must move by exactly
// the right number of seconds when one field moves; and every date this
// server writes as Last-Modified must read back as the same second.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "http/response.hpp"
#include "http/static_files.hpp"

using kiv::parse_if_modified_since;

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kDay = 86400;
// 0100-01-01T00:00:00Z: from here on a written year reads back unchanged
// (years up to 99 are taken as two-digit years).
constexpr std::int64_t kYear100 = -59011459200;
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Fields {
  std::string weekday = "Sun,";
  std::int64_t day, year, h, m, s;
  int month;  // 1-12
  std::string sep = " ";
};

std::string text(const Fields& f) {
  return f.weekday + f.sep + std::to_string(f.day) + f.sep + kMonths[f.month - 1] + f.sep +
         std::to_string(f.year) + f.sep + std::to_string(f.h) + ":" + std::to_string(f.m) + ":" +
         std::to_string(f.s) + f.sep + "GMT";
}

std::optional<std::int64_t> parse(const Fields& f) {
  return parse_if_modified_since(text(f));
}

// b - a == delta whenever both parse; a parses but b does not only when
// a + delta leaves the 64-bit range.
void check_step(const Fields& a, const Fields& b, std::int64_t delta) {
  const auto pa = parse(a), pb = parse(b);
  if (pa && pb) {
    FUZZ_CHECK(static_cast<__int128>(*pb) - *pa == delta);
  } else if (pa) {
    const __int128 want = static_cast<__int128>(*pa) + delta;
    FUZZ_CHECK(want > kMax || want < kMin);
  }
}

bool leap(__int128 y) {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int days_in(int month, __int128 y) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(y) ? 29 : kDays[month - 1];
}

void check_fields(FuzzedDataProvider& fdp) {
  Fields f;
  // Mostly plausible values, sometimes anything at all.
  auto pick = [&](std::int64_t lo, std::int64_t hi) {
    return fdp.ConsumeBool() ? fdp.ConsumeIntegral<std::int64_t>()
                             : fdp.ConsumeIntegralInRange<std::int64_t>(lo, hi);
  };
  f.day = pick(-40, 40);
  f.month = fdp.ConsumeIntegralInRange<int>(1, 12);
  f.year = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::int64_t>(-5, 105)  // two digits
                             : pick(-3000, 12000);
  f.h = pick(-30, 30);
  f.m = pick(-70, 70);
  f.s = pick(-70, 70);
  switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 1:
      f.sep = "\t ";
      break;
    case 2:
      f.sep = "\xC2\xA0";  // NO-BREAK SPACE is white space too
      break;
    case 3:
      f.sep = " \xE3\x80\x80\n";
      break;
  }
  f.weekday = fdp.ConsumeBool() ? "Xyz," : "Sun,";
  const auto base = parse(f);

  // The weekday and the separators play no part.
  Fields plain = f;
  plain.weekday = "Mon";
  plain.sep = " ";
  FUZZ_CHECK(parse(plain) == base);

  auto moved = [&](std::int64_t Fields::*field, std::int64_t by, std::int64_t seconds) {
    if ((by > 0 && f.*field > kMax - by) || (by < 0 && f.*field < kMin - by)) return;
    Fields g = f;
    g.*field += by;
    check_step(f, g, seconds);
  };
  moved(&Fields::s, 1, 1);
  moved(&Fields::s, -1, -1);
  moved(&Fields::m, 1, 60);
  moved(&Fields::h, 1, 3600);
  moved(&Fields::day, 1, kDay);
  moved(&Fields::day, -1, -kDay);
  // 400 Gregorian years are exactly 146097 days, for negative years too, as
  // long as neither year falls into the two-digit window.
  if (f.year >= 100 || f.year <= -400) moved(&Fields::year, 400, 146097 * kDay);

  // Two-digit years.
  if (f.year >= 0 && f.year <= 99) {
    Fields full = f;
    full.year += f.year <= 69 ? 2000 : 1900;
    FUZZ_CHECK(parse(full) == base);
  }

  // The day after a month's last day is the first of the next month.
  if (f.year >= 100 && f.year < kMax) {
    Fields over = f, next = f;
    over.day = days_in(f.month, f.year) + 1;
    next.day = 1;
    if (f.month == 12) {
      next.month = 1;
      next.year = f.year + 1;
    } else {
      next.month = f.month + 1;
    }
    FUZZ_CHECK(parse(over) == parse(next));
  }
}

void check_round_trip(FuzzedDataProvider& fdp) {
  const std::int64_t t = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange(kYear100, kMax)
                                           : fdp.ConsumeIntegralInRange<std::int64_t>(
                                                 -2208988800, 4102444800);  // 1900 to 2100
  const std::string written = kiv::http_date_from_secs(t);
  const auto back = parse_if_modified_since(written);
  FUZZ_CHECK(back && *back == t);
}

void check_days(FuzzedDataProvider& fdp) {
  const std::int64_t y = fdp.ConsumeIntegral<std::int64_t>();
  const unsigned m = fdp.ConsumeIntegralInRange<unsigned>(1, 12);
  const unsigned d = fdp.ConsumeIntegral<unsigned>();
  const std::int64_t a = kiv::days_from_civil(y, m, d);
  if (d == std::numeric_limits<unsigned>::max()) return;
  const std::int64_t b = kiv::days_from_civil(y, m, d + 1);
  // Saturated at either end, otherwise one day apart.
  FUZZ_CHECK(b >= a);
  if (a != kMin && a != kMax && b != kMax) FUZZ_CHECK(b - a == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw = kivfuzz::as_view(data, size);
  const auto whole = parse_if_modified_since(raw);
  if (whole) {
    // Anything after the fifth piece is ignored, and so is leading space.
    FUZZ_CHECK(parse_if_modified_since(std::string(raw) + " tail") == whole);
    FUZZ_CHECK(parse_if_modified_since(" \t" + std::string(raw)) == whole);
  }

  FuzzedDataProvider fdp(data, size);
  check_fields(fdp);
  check_round_trip(fdp);
  check_days(fdp);
  return 0;
}
