#pragma once
// The default.cfg keys of a run over many accounts: how many at once
// (PARALLEL), how often an account is tried again (RETRIES) and whether the
// run only checks (CHECK_ONLY). Each key missing gives the program's
// behaviour without it: one account at a time, no retry, a migration.
// A value that is not one of the allowed ones gives that same behaviour (or
// for CHECK_ONLY the one that writes nothing) with `problem` saying why, for
// the log, as parsePipelineDepth does.
#include <string>
#include <string_view>

namespace rvo {

inline constexpr int kMaxParallel = 16;
inline constexpr int kMaxRetries = 10;

struct ParallelSetting {
    int accounts = 1;  // accounts migrated at once
    std::string problem;
};
// Empty gives 1; 1 to kMaxParallel as written (digits only); anything else 1.
ParallelSetting parseParallel(std::string_view value);

struct RetriesSetting {
    int retries = 0;  // attempts after the first
    std::string problem;
};
// Empty gives 0; 0 to kMaxRetries as written (digits only); anything else 0.
RetriesSetting parseRetries(std::string_view value);

struct CheckOnlySetting {
    bool checkOnly = false;
    std::string problem;
};
// Empty and "0" give a migration, "1" a check. Any other value gives a
// check, with a problem text: someone who wrote the key wanted to hear
// about it, and a check writes nothing into the store, the database or the
// list, whereas a migration taken by mistake cannot be undone.
CheckOnlySetting parseCheckOnly(std::string_view value);

}  // namespace rvo
