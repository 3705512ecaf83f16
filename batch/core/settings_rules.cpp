#include "batch/core/settings_rules.h"

namespace rvo {

std::array<std::string, 4> parseSystemFolders(std::string_view text) {
    std::array<std::string, 4> names;
    if (text.empty()) return names;
    text = stripOuterSeparators(text);
    for (std::size_t i = 0; !text.empty(); ++i) {
        const std::size_t sep = text.find(';');
        if (sep == std::string_view::npos) {
            if (i == 3) names[3] = std::string(text);
            break;
        }
        if (i < 3) names[i] = std::string(text.substr(0, sep));
        text.remove_prefix(sep + 1);
    }
    return names;
}

std::string normaliseMailPath(std::string_view value) {
    std::string path(value);
    const std::size_t last = path.rfind('\\');
    if (last != std::string::npos && last + 1 != path.size()) path.push_back('\\');
    return path;
}

PipelineDepth parsePipelineDepth(std::string_view value) {
    PipelineDepth out;
    if (value.empty()) return out;
    // Digits only: "16 x", "0x10", "-2" or a number beyond the limit is a
    // mistake to report, not a value.
    int depth = 0;
    bool valid = true;
    for (const char c : value) {
        if (c < '0' || c > '9') {
            valid = false;
            break;
        }
        if (depth <= kMaxPipelineDepth) depth = depth * 10 + (c - '0');
    }
    if (valid && depth <= kMaxPipelineDepth) {
        out.depth = depth < 1 ? 1 : depth;
        return out;
    }
    out.problem = "PIPELINE=" + std::string(value.substr(0, 40)) + (value.size() > 40 ? "..." : "") +
                  " is not a number from 0 to " + std::to_string(kMaxPipelineDepth) +
                  "; one command at a time is sent";
    return out;
}

}  // namespace rvo
