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

// Adds the trailing backslash to a mail path that has one inside it.
std::string normaliseMailPath(std::string_view value);

// The PIPELINE value: empty, 0 and 1 give 1 (one command at a time), 2 to
// kMaxPipelineDepth are taken as they stand. Anything else gives 1 with
// `problem` saying why, for the log.
struct PipelineDepth {
    int depth = 1;
    std::string problem;
};
PipelineDepth parsePipelineDepth(std::string_view value);

}  // namespace rvo
