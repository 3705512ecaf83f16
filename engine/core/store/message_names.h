#pragma once
// Names of message files. A stored message is
//   <local time %Y%m%d%H%M%S><counter %04d>-0000000200000000<dateHex>.imap
// and the duplicate test recognises a stored message by its dateHex alone.
#include <array>
#include <string>
#include <string_view>

#include "engine/core/store/file_time.h"

namespace rvo {

inline constexpr std::string_view kMessageFlagsField = "-0000000200000000";
inline constexpr std::string_view kMessageExtension = ".imap";
// A message being written; never matches a stored-message name.
inline constexpr std::string_view kTemporaryExtension = ".partial";

// "0000000000000000" + dateHex; the first line of an IMAP message file (without its line end).
std::string imapHeaderLine(std::string_view dateHex);

// The file name alone. A negative counter is written as 0.
std::string messageFileName(const CivilTime& localNow, int counter, std::string_view dateHex);

// folderDirectory + "\\" + messageFileName.
std::string messageFilePath(std::string_view folderDirectory, const CivilTime& localNow, int counter,
                            std::string_view dateHex);

// File search pattern that finds every candidate of a dateHex in a folder;
// isStoredMessageName decides on each name it finds.
std::string duplicatePattern(std::string_view folderDirectory, std::string_view dateHex);

// True for a stored message of that dateHex: any 35 characters before the
// dateHex (the layout with a four-digit counter, as earlier versions matched
// it), or a longer all-digit stamp and counter before the flags field
// (counters from 10000 on). Letter case is ignored, as file names do.
bool isStoredMessageName(std::string_view fileName, std::string_view dateHex);

// The only dateHex values isStoredMessageName can accept `fileName` for: what
// follows its 35th character, and what follows its first flags field; empty
// where the name has no such part. Lets a folder listing be counted by dateHex.
std::array<std::string_view, 2> storedDateHexCandidates(std::string_view fileName);

// The name a message is written under until it is complete.
std::string temporaryFileName(std::string_view messageFileName);

// folderDirectory + "\\*" + kTemporaryExtension.
std::string temporaryPattern(std::string_view folderDirectory);

// True only for names temporaryFileName makes, so other files are never removed.
bool isTemporaryFileName(std::string_view fileName);

}  // namespace rvo
