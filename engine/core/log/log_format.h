#pragma once
// Names and line layout of the batch program's daily log.
#include <ctime>
#include <string>
#include <string_view>

namespace rvo {

// A line of exactly 80 asterisks, logged as an ordinary line's text.
inline constexpr std::string_view kBanner =
    "********************************************************************************";
inline constexpr std::string_view kBatchLogTitle = "KELVAR.Exe Log File";

// "20061215_kelvard.log" for 15 December 2006 and base name "kelvard".
std::string dailyLogFileName(const std::tm& localTime, std::string_view moduleBaseName);

// "12/15/2006 02:41:07 PM [1832] : " + text + "\n", the text made one line.
std::string logLine(const std::tm& localTime, unsigned long processId, std::string_view text);

// "Controller Object Invalid Information"
std::string reportText(std::string_view objectName, std::string_view text);

}  // namespace rvo
