#pragma once
// How the library's exports read their arguments: the destination path,
// the folders to create for it, the folder mapping with what earlier calls
// left, and the date of the log's banner.
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/net/connection_security.h"
#include "engine/core/store/store_layout.h"

namespace rvo {

// The destination with a backslash at its end ("D:\Mail" gives "D:\Mail\",
// "" gives "\"); a path that already ends in one is kept as it is.
std::string destinationWithBackslash(std::string_view path);

// The directories a destination is made of, outermost first, each without
// its trailing backslash and leaving out the root (the part up to the first
// backslash): "D:\Mail\Store\" gives "D:\Mail" and "D:\Mail\Store".
std::vector<std::string> destinationFolders(std::string_view destination);

// The four source names of inbox, drafts, deleted items and sent items
// given as "INBOX;Drafts;Trash;Sent" (one leading and one trailing ";" are
// ignored). Pieces 0 to 2 set the first three names; the last piece sets the
// sent-items name only when it is piece 3. Names the text does not supply
// keep what `names` held (what the previous call left).
void applyFolderMapping(std::string_view text, SystemFolderNames& names);

// The library speaks TLS from the first byte on the TLS ports of its
// protocol (IMAP4 993, POP3 995) and nowhere else; it takes no roots of its
// own, so the system's decide.
ConnectionSecurity securityForPort(int port, bool imap);

// "Wednesday, December 09, 2026 7:31 AM": weekday, month name, day, year,
// hour without a leading zero, minutes, AM or PM, in English whatever the
// locale. Fields outside their ranges give "?" for the name.
std::string bannerDate(const std::tm& local);

}  // namespace rvo
