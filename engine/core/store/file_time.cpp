#include "engine/core/store/file_time.h"

#include <cstdio>

namespace rvo {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, CivilTime& out) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(yoe + era * 400 + (m <= 2));
    out.month = m;
    out.day = d;
}

bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}

constexpr std::uint32_t kFirstFatValue = ((1u << 5) | 1u) << 16;  // 1980-01-01 00:00:00
constexpr std::uint32_t kLastFatValue =
    (((127u << 9) | (12u << 5) | 31u) << 16) | (23u << 11) | (59u << 5) | 29u;  // 2107-12-31 23:59:58

}  // namespace

CivilTime civilFromFileTime(FileTime time) {
    const std::int64_t seconds = static_cast<std::int64_t>(time / kFileTimeTicksPerSecond);
    const std::int64_t days = seconds / kSecondsPerDay;
    const std::int64_t rest = seconds % kSecondsPerDay;
    CivilTime out;
    civilFromDays(days - kDaysFrom1601To1970, out);
    out.hour = static_cast<int>(rest / 3600);
    out.minute = static_cast<int>(rest / 60 % 60);
    out.second = static_cast<int>(rest % 60);
    return out;
}

std::optional<FileTime> fileTimeFromCivil(const CivilTime& t) {
    if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12) return std::nullopt;
    if (t.day < 1 || t.day > daysInMonth(t.year, t.month)) return std::nullopt;
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59) {
        return std::nullopt;
    }
    const std::int64_t days = daysFromCivil(t.year, t.month, t.day) + kDaysFrom1601To1970;
    const std::int64_t seconds = days * kSecondsPerDay + t.hour * 3600 + t.minute * 60 + t.second;
    return static_cast<FileTime>(seconds) * kFileTimeTicksPerSecond;
}

std::uint32_t packedFatDateTime(FileTime time) {
    const CivilTime t = civilFromFileTime(time);
    if (t.year < 1980) return kFirstFatValue;
    if (t.year > 2107) return kLastFatValue;
    const auto date = static_cast<std::uint32_t>(((t.year - 1980) << 9) | (t.month << 5) | t.day);
    const auto clock = static_cast<std::uint32_t>((t.hour << 11) | (t.minute << 5) | (t.second / 2));
    return (date << 16) | clock;
}

std::string dateHex(FileTime time) {
    char text[9] = {};
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(packedFatDateTime(time)));
    return text;
}

}  // namespace rvo
