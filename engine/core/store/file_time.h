#pragma once
// Message times as Windows keeps them, and their packed file-system (FAT)
// form, which names message files and heads IMAP message files.
#include <cstdint>
#include <optional>
#include <string>

namespace rvo {

// 100-nanosecond intervals since 1 January 1601, the value of a FILETIME.
using FileTime = std::uint64_t;

inline constexpr FileTime kFileTimeTicksPerSecond = 10'000'000;

// A calendar date and time of day, in whatever zone the caller means.
struct CivilTime {
    int year = 1601;
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;

    friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

CivilTime civilFromFileTime(FileTime time);

// Empty for a date or time that does not exist or lies before 1601.
std::optional<FileTime> fileTimeFromCivil(const CivilTime& time);

// FAT date in the high 16 bits, FAT time in the low 16 bits; seconds are
// truncated to the two-second slot. FAT holds 1980-01-01 00:00:00 to
// 2107-12-31 23:59:58; earlier times give the first of these, later times
// the last, so every message still gets a valid date that is the same on
// every run (the duplicate test compares it).
std::uint32_t packedFatDateTime(FileTime time);

// packedFatDateTime in upper-case hexadecimal without leading zeros:
// 8 digits from 1988 on, 6 or 7 before.
std::string dateHex(FileTime time);

}  // namespace rvo
