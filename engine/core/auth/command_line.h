#pragma once
// The command line that starts a token command with the source user as its
// one argument. Windows hands a process one string, and the program's C
// runtime (or CommandLineToArgvW) splits it again; the argument is written
// so that any user name, blanks, quotes and backslashes included, arrives
// as exactly one argument, byte for byte.
#include <optional>
#include <string>
#include <string_view>

namespace rvo {

// The program as configured (put in quotes when it holds a blank or a tab
// and is not quoted already), a blank, then the argument in quotes with the
// runtime's escapes: backslashes before a quote, and before the closing
// quote, doubled; each quote preceded by a backslash. Empty when either
// holds NUL, CR or LF, when the program is empty, or when the program holds
// a quote other than one pair around the whole of it (no file name holds
// one).
// A batch file (.bat, .cmd) is run by the command interpreter, which reads
// its arguments by rules of its own that no quoting can satisfy for every
// text: its argument may then hold only letters, digits and "@._+-" (what a
// mailbox address holds), and is otherwise refused.
std::optional<std::string> windowsCommandLine(std::string_view program, std::string_view argument);

}  // namespace rvo
