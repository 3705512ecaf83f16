#pragma once
// Runs the token command of a sign-in: a program given as a whole command
// line (the caller quotes its argument), without a console window, whose
// first line of output is the access token.
//
// What it promises:
// - Its standard output comes through a pipe, read while it runs so a talkative
//   command never blocks; only the first line is kept (ended by LF; output
//   ending without a line break is a line too; CRs, blanks and tabs around it
//   trimmed), at most `maxLineBytes` long: a longer one is an error.
//   Its standard error and input are NUL: a diagnostic on standard error can
//   never be taken for the token, and a command that asks for input ends at once.
// - It is awaited until it ends; one that has not ended after `timeoutMs` is
//   terminated, with the programs it started where the system lets them be
//   put in one job. A non-zero exit code is an error naming it.
// - stop(), from any thread, ends a run at once (the command is terminated,
//   not waited for) and every later run before it starts: it is meant for the
//   program's Cancel.
// - No reason text holds what the command printed.
//
// Errors: TokenCommandError plus one sentence.
#include <cstddef>
#include <string>

#include "engine/win32/platform/unique_handle.h"

namespace rvo {

enum class TokenCommandError {
    Failed,      // anything not named below; a result is a failure until it says otherwise
    None,
    Start,       // the command could not be started
    TimedOut,    // it did not end in time and was terminated
    Stopped,     // stop() was called
    ExitCode,    // it ended with a non-zero exit code
    NoToken,     // it printed nothing, or its first line is empty
    TooLong,     // its first line is longer than the limit
    BadText,     // its first line holds a control character
};

struct TokenCommandLimits {
    std::size_t maxLineBytes = 16 * 1024;
    int timeoutMs = 60000;
    // How often the output is looked at while waiting.
    int pollMs = 10;
};

struct TokenCommandResult {
    TokenCommandError error = TokenCommandError::Failed;
    std::string reason;
    std::string token;
    unsigned long exitCode = 0;
    bool ok() const { return error == TokenCommandError::None; }
};

class TokenCommand {
public:
    explicit TokenCommand(const TokenCommandLimits& limits);
    TokenCommand(const TokenCommand&) = delete;
    TokenCommand& operator=(const TokenCommand&) = delete;

    TokenCommandResult run(const std::string& commandLine) const;
    void stop();

private:
    TokenCommandLimits limits_;
    KernelHandle stop_;
};

}  // namespace rvo
