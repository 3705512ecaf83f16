#pragma once
// Where message folders lie: under mail path\domain\user (batch program) or
// directly under a destination path (library), one directory per folder.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

// Inbox, drafts, deleted items, sent items.
using SystemFolderNames = std::array<std::string, 4>;

class StoreLayout {
public:
    // mailPath + domain + "\\" + user + "\\" + folder; mailPath ends in a
    // backslash or is empty (then the paths are relative).
    static StoreLayout forAccount(std::string_view mailPath, std::string_view domain, std::string_view user);
    // destination + folder, joined as they stand.
    static StoreLayout forDestination(std::string_view destination);

    // The folder's directory, without a trailing backslash. A "/" or "\\" in
    // the name makes further levels; check the name with folderNameProblem first.
    std::string folderDirectory(std::string_view localFolderName) const;

private:
    explicit StoreLayout(std::string prefix) : prefix_(std::move(prefix)) {}
    std::string prefix_;
};

// Which characters of a path separate directory levels when a tree is created.
enum class LevelSplit {
    kBackslashAndSlash,  // IMAP folders: "Work/2005" is two levels
    kBackslashOnly,      // POP3: the path holds no folder name from a server
};

// The directories to create, parents first, so that `path` exists when each
// missing one is created in turn. Roots and drives are left out; the last
// entry is `path` itself.
std::vector<std::string> directoriesToCreate(std::string_view path, LevelSplit split);

// Why a folder name must not become a directory under the account's
// directory, in words ("it has a \"..\" level"); empty when it is safe.
// Refuses an empty name or level, "." and "..", drive and root forms,
// characters Windows does not allow in file names, levels ending in a dot or
// blank (Windows drops those, merging two folders), device names and
// levels longer than 255 characters.
std::optional<std::string> folderNameProblem(std::string_view localFolderName);

// The same rule for a name that must stay one directory level (an account's
// user or domain folder): also refuses "\\" and "/".
std::optional<std::string> singleLevelNameProblem(std::string_view name);

// The server's folder name, compared in turn with each of the four server
// names (ignoring letter case) and replaced by the local name at the same
// position on a match; an empty server name matches nothing.
std::string localFolderName(std::string_view serverFolderName, const SystemFolderNames& serverNames,
                            const SystemFolderNames& localNames);

}  // namespace rvo
