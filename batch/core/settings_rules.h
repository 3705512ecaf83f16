#pragma once
// How the batch program's default.cfg values are turned into settings.
#include <array>
#include <string>
#include <string_view>
#include <vector>

// parseExcludedFolders and mailPathFolders, shared with the library.
#include "engine/core/settings/migration_settings.h"

namespace rvo {

// ";INBOX;Drafts;Trash;Sent;" gives INBOX, Drafts, Trash and Sent. Names go
// to positions by order; with fewer than four names the last one is dropped
// and with more than four the fourth and later are lost, as the file format
// has always been read.
std::array<std::string, 4> parseSystemFolders(std::string_view text);

// SECURITY and CA_FILE of default.cfg; an unknown SECURITY value is kept as
// Security::Unknown with its text, so the session can refuse the account.
ConnectionSecurity parseConnectionSecurity(std::string_view security, std::string_view caFile);
// The ports when default.cfg names none: 143 and 110, with TLS 993 and 995.
int defaultImapPort(Security mode);
int defaultPop3Port(Security mode);

// Adds the trailing backslash to a mail path that has one inside it.
std::string normaliseMailPath(std::string_view value);

// The PIPELINE value: empty, 0 and 1 give 1 (one command at a time), 2 to
// kMaxPipelineDepth are taken as they stand. Anything else gives 1 with
// `problem` saying why, for the log.
// A setting's value when it is decimal digits only and at most `max`; -1
// otherwise ("16 x", "0x10", "-2", "+3" and a number beyond the limit are
// mistakes to report, not values).
int boundedSettingNumber(std::string_view value, int max);

struct PipelineDepth {
    int depth = 1;
    std::string problem;
};
PipelineDepth parsePipelineDepth(std::string_view value);

// A port key of default.cfg. `text` is the key's value as read; an empty
// one (the key missing or without a value) gives `fallback`. It is read as
// the platform reads integers (leading blanks, an optional sign, the digits
// up to the first other character; no digits give 0), but a number outside
// 1 to 65535 is refused rather than wrapped: `port` is then 0 and `problem`
// says why.
struct PortSetting {
    int port = 0;
    std::string problem;  // empty when the port is usable
};
PortSetting readPortSetting(std::string_view key, std::string_view text, int fallback);

// Where the store lies. An absolute MAIL_PATH ("D:\\Mail", "\\\\server\\share")
// stands as it is; an empty or relative one is taken from the program's
// folder (`programDirectory`, ending in a backslash), never from the
// current directory; a path from the root of a drive ("\\Mail") takes the
// program's drive. "D:Mail" names a drive and is left as it stands.
std::string resolveMailPath(std::string_view value, std::string_view programDirectory);

// The log line that says where a run's store is and where that came from.
std::string storePlaceText(std::string_view configured, std::string_view resolved);

}  // namespace rvo
