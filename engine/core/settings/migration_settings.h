#pragma once
// The values a migration session runs with. The batch program reads them
// from default.cfg and accounts.ini; the library takes them as arguments.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/net/connection_security.h"

namespace rvo {

struct MigrationSettings {
    std::string serverAddress = "127.0.0.1";
    int imapPort = 143;
    int pop3Port = 110;
    // TLS or STARTTLS, and the further roots the certificate may chain to.
    ConnectionSecurity security;
    int markDeleted = 0;
    int migrateDeleted = 0;
    int createEmpty = 0;
    // Commands the IMAP dialogue may have outstanding at once: 1 is one at a
    // time; up to kMaxPipelineDepth.
    int pipelineDepth = 1;
    std::string mailPath;  // ends in a backslash when it holds one
    // Source names of inbox, drafts, deleted items and sent items; empty when not given.
    std::array<std::string, 4> systemFolderNames;
    std::vector<std::string> excludedFolders;
    // An excluded entry also matches every folder name that contains it.
    bool excludeContained = false;
    // Only count what a migration would copy: sign in, list, log out, and
    // write nothing into the store, its records or the database.
    bool checkOnly = false;

    // Case-sensitive match against the excluded folders: the whole name, or
    // with excludeContained any part of it. An empty entry matches no folder.
    bool isExcluded(const std::string& folderName) const;
};

struct AccountValues {
    std::string user = "No User";
    std::string password = "No Password";
    std::string domain = "No Domain";
    int status = -1;    // -1: no such account, 1: already migrated
    int protocol = 0;   // 1: IMAP4, 2: POP3
    // The name to sign in with at the source when it differs from `user`,
    // which stays the name of the local store; empty: `user`.
    std::string sourceUser;

    // The name sent in LOGIN and USER.
    const std::string& loginName() const { return sourceUser.empty() ? user : sourceUser; }
};

// The text without one leading and one trailing ";" (folder lists).
std::string_view stripOuterSeparators(std::string_view text);

// "Junk;Spam" gives Junk and Spam; one leading and one trailing ";" are
// ignored; pieces are not trimmed and empty pieces are kept.
std::vector<std::string> parseExcludedFolders(std::string_view text);

// The folders that make up a mail path, outermost first, each as a full
// path without its trailing backslash: "D:\\Mail\\Store\\" gives "D:\\Mail" and
// "D:\\Mail\\Store". The part up to the first backslash (the root) is not
// one of them; a path without a backslash gives none.
std::vector<std::string> mailPathFolders(std::string_view mailPath);

inline constexpr int kMaxPipelineDepth = 64;

enum Protocol { kProtocolImap = 1, kProtocolPop3 = 2 };

}  // namespace rvo
