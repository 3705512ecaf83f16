#pragma once
// How the batch program's default.cfg values are turned into settings.
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

// ";INBOX;Drafts;Trash;Sent;" gives INBOX, Drafts, Trash and Sent. Names go
// to positions by order; with fewer than four names the last one is dropped
// and with more than four the fourth and later are lost, as the file format
// has always been read.
std::array<std::string, 4> parseSystemFolders(std::string_view text);

// "Junk;Spam" gives Junk and Spam; one leading and one trailing ";" are
// ignored; pieces are not trimmed and empty pieces are kept.
std::vector<std::string> parseExcludedFolders(std::string_view text);

// Adds the trailing backslash to a mail path that has one inside it.
std::string normaliseMailPath(std::string_view value);

// The folders that make up a mail path, outermost first, each as a full
// path without its trailing backslash: "D:\Mail\Store\" gives "D:\Mail" and
// "D:\Mail\Store". A path without a backslash gives none.
std::vector<std::string> mailPathFolders(std::string_view mailPath);

}  // namespace rvo
