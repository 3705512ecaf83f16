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

}  // namespace rvo
