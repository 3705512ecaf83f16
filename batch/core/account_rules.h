#pragma once
// What the batch program checks in import\accounts.ini before it migrates an
// account, and how it words the end of the list.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/settings/migration_settings.h"

namespace rvo {

// U and D become the account's two folders under the store
// (mail path\D\U\...): each must be one safe directory level, by the same
// rule as folder names from the server. Says which key is wrong and why;
// empty when both are safe.
std::optional<std::string> accountFolderProblem(const AccountValues& account);

// The numbered sections after `missing`, in number order: the accounts a
// gap in the numbering keeps from being read. A section counts when its
// name is a decimal number without leading zeros, as the list names them.
std::vector<std::string> sectionsAfterGap(const std::vector<std::string>& sectionNames, int missing);

// The log line for a list that ends at `missing` while later numbered
// sections exist; `present` says that the section is there but has no
// Status. At most kNamedLaterSections of the later ones are named.
std::string listEndsAtGapText(int missing, bool present, const std::vector<std::string>& later);
inline constexpr std::size_t kNamedLaterSections = 20;

}  // namespace rvo
