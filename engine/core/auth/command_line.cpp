#include "engine/core/auth/command_line.h"

namespace rvo {
namespace {

bool hasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> windowsCommandLine(std::string_view program, std::string_view argument) {
    if (program.empty() || hasLineBreakOrNul(program) || hasLineBreakOrNul(argument)) return std::nullopt;
    std::string out;
    const bool quoted = program.size() >= 2 && program.front() == '"' && program.back() == '"';
    const std::string_view bare = quoted ? program.substr(1, program.size() - 2) : program;
    // The program's own name is split by simpler rules (a quote toggles, a
    // backslash is just a backslash), so a quote inside it cannot be said.
    if (bare.empty() || bare.find('"') != std::string_view::npos) return std::nullopt;
    if (quoted || bare.find_first_of(" \t") != std::string_view::npos) {
        out += '"';
        out += bare;
        out += '"';
    } else {
        out += bare;
    }
    out += " \"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace rvo
