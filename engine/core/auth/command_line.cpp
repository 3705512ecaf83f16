#include "engine/core/auth/command_line.h"

#include "engine/core/text/ascii.h"

namespace rvo {
namespace {

bool hasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

}  // namespace

bool isBatchFile(std::string_view bare) {
    if (bare.size() < 4) return false;
    const std::string_view extension = bare.substr(bare.size() - 4);
    return equalsIgnoringCase(extension, ".bat") || equalsIgnoringCase(extension, ".cmd");
}

// What cmd.exe cannot misread inside quotes: it knows no backslash escape,
// so a quote in the argument would end the quoting and let "&" or "|" start
// another command, and it expands %NAME% even inside quotes.
bool safeForCommandInterpreter(std::string_view argument) {
    for (const char c : argument) {
        const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!word && std::string_view("@._+-").find(c) == std::string_view::npos) return false;
    }
    return true;
}

std::optional<std::string> windowsCommandLine(std::string_view program, std::string_view argument) {
    if (program.empty() || hasLineBreakOrNul(program) || hasLineBreakOrNul(argument)) return std::nullopt;
    std::string out;
    const bool quoted = program.size() >= 2 && program.front() == '"' && program.back() == '"';
    const std::string_view bare = quoted ? program.substr(1, program.size() - 2) : program;
    if (isBatchFile(bare) && !safeForCommandInterpreter(argument)) return std::nullopt;
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
