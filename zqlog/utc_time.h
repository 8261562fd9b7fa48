// The current time in UTC, broken down, without the C library's non-portable
// (gmtime_r / gmtime_s) calls.
#pragma once

#include <chrono>
#include <cstdint>

namespace kx::zqlog {

struct UtcTime {
  int year, month, day, hour, minute, second, millisecond;
};

inline UtcTime UtcNow() {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  int64_t days = ms / 86400000;
  int64_t msOfDay = ms % 86400000;
  if (msOfDay < 0) {
    msOfDay += 86400000;
    --days;
  }
  // Civil date from a day count (proleptic Gregorian calendar).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  return UtcTime{static_cast<int>(year),
                 static_cast<int>(month),
                 static_cast<int>(day),
                 static_cast<int>(msOfDay / 3600000),
                 static_cast<int>(msOfDay / 60000 % 60),
                 static_cast<int>(msOfDay / 1000 % 60),
                 static_cast<int>(msOfDay % 1000)};
}

}  // namespace kx::zqlog
