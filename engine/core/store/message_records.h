#pragma once
// The store's record of which server message each message file holds, one
// small text file per folder directory, so that a later run recognises a
// message by its identity on the server and not by its date alone:
//
//   # ...comment lines...
//   <UIDVALIDITY> <UID> <message file name> <server folder name>
//
// A line is appended only after its file was committed. The record may be
// lost, torn by a crash or stale (files removed by hand, a new UIDVALIDITY):
// whatever it lacks, the caller must treat as unknown, never as stored.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

// Not a message (".imap") and not a directory: the local mail server
// takes it for neither.
inline constexpr std::string_view kRecordFileName = "migrated.uids";
// Larger record files are not read; the run then decides without them.
inline constexpr std::size_t kMaxRecordFileSize = 64 * 1024 * 1024;

struct MessageIdentity {
    std::string folder;  // the server's folder name, as listed
    std::uint32_t uidValidity = 0;
    std::uint32_t uid = 0;
    // Both numbers came from the server: the message can be recorded and found.
    bool known() const { return uidValidity != 0 && uid != 0; }
};

struct MessageRecord {
    MessageIdentity id;
    std::string fileName;
};

// The comment that opens a new record file, for a person who finds it.
std::string recordFileHeader();
// One line, CR LF included. The folder name must hold no CR, LF or NUL
// (such a folder is never selected).
std::string formatRecord(const MessageRecord& record);
// Every complete, well-formed line; comments, torn and foreign lines are skipped.
std::vector<MessageRecord> parseRecords(std::string_view text);

}  // namespace rvo
