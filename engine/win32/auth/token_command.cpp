#include "engine/win32/auth/token_command.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "engine/core/text/format.h"
#include "engine/win32/platform/file_handle.h"

namespace rvo {

namespace {

// CreateProcess takes at most this many characters.
constexpr std::size_t kMaxCommandLine = 32767;

TokenCommandResult failure(TokenCommandError error, std::string reason) {
    TokenCommandResult result;
    result.error = error;
    result.reason = std::move(reason);
    return result;
}

// The command, and whatever it started, terminated when the run ends early;
// what it leaves running after ending by itself is its own business. Putting
// it in a job may be refused (an older Windows where this program already
// runs in a job); then the command alone is terminated.
class RunningCommand {
public:
    RunningCommand(KernelHandle process, KernelHandle job) : process_(std::move(process)), job_(std::move(job)) {}
    ~RunningCommand() { terminate(); }
    RunningCommand(const RunningCommand&) = delete;
    RunningCommand& operator=(const RunningCommand&) = delete;

    HANDLE process() const { return process_.get(); }
    bool ended() const { return WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }
    // Not waited for: a stop must not hang on a command that does not die.
    void terminate() {
        if (finished_) return;
        finished_ = true;
        if (job_) TerminateJobObject(job_.get(), 1);
        if (!ended()) TerminateProcess(process_.get(), 1);
    }
    void release() { finished_ = true; }

private:
    KernelHandle process_;
    KernelHandle job_;
    bool finished_ = false;
};

// The handles a new process may inherit, as a process attribute. Where the
// system cannot say that, attributes() is null and the process inherits
// every inheritable handle, as before Windows Vista.
class InheritList {
public:
    InheritList(HANDLE* handles, DWORD count) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) return;
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                       nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list);
            return;
        }
        list_ = list;
    }
    ~InheritList() {
        if (list_) DeleteProcThreadAttributeList(list_);
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes() const { return list_; }

private:
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

TokenCommandResult tooLong(std::size_t limit) {
    return failure(TokenCommandError::TooLong, formatBounded("the token command's first line is longer than %lu bytes",
                                                             static_cast<unsigned long>(limit)));
}

// Around the token: blanks, and the CRs of a line ending (a program that
// writes "\r\n" in text mode ends its line with CR CR LF).
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

TokenCommand::TokenCommand(const TokenCommandLimits& limits)
    : limits_(limits), stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

void TokenCommand::stop() {
    if (stop_) SetEvent(stop_.get());
}

TokenCommandResult TokenCommand::run(const std::string& commandLine) const {
    if (!stop_) return failure(TokenCommandError::Start, "no event for the stop request could be made");
    if (WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0)
        return failure(TokenCommandError::Stopped, "the token command was not started: the run is stopping");
    if (commandLine.empty() || commandLine.size() >= kMaxCommandLine ||
        commandLine.find('\0') != std::string::npos)
        return failure(TokenCommandError::Start, "the token command line is empty or too long");

    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    KernelHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0) ||
        !SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0))
        return failure(TokenCommandError::Start,
                       formatBounded("no pipe for the token command's output could be made (error %lu)",
                                     GetLastError()));
    FileHandle nul(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));
    if (!nul.valid())
        return failure(TokenCommandError::Start,
                       formatBounded("NUL could not be opened for the token command (error %lu)", GetLastError()));

    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nul.get();
    startup.StartupInfo.hStdOutput = writeEnd.get();
    startup.StartupInfo.hStdError = nul.get();
    // The command inherits these two handles only, not whatever else of this
    // program is inheritable (a socket of a session would stay open in it).
    HANDLE inherited[] = {writeEnd.get(), nul.get()};
    InheritList inheritList(inherited, 2);
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    if (inheritList.attributes()) {
        startup.lpAttributeList = inheritList.attributes();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
    }
    PROCESS_INFORMATION info{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    KernelHandle job(CreateJobObjectA(nullptr, nullptr));
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup.StartupInfo,
                        &info))
        return failure(TokenCommandError::Start,
                       formatBounded("the token command could not be started (error %lu)", GetLastError()));
    KernelHandle thread(info.hThread);
    if (job && !AssignProcessToJobObject(job.get(), info.hProcess)) job.reset();
    RunningCommand command(KernelHandle(info.hProcess), std::move(job));
    ResumeThread(thread.get());
    // Only the command holds the pipe's writing end now: its end is the end of the output.
    writeEnd.reset();
    nul.reset();

    std::string first;
    bool lineEnded = false;
    bool outputEnded = false;
    std::vector<char> buffer(64 * 1024);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max(limits_.timeoutMs, 0));
    for (;;) {
        const bool exited = command.ended();
        // Drain what is there; the command blocks when the pipe is full.
        DWORD available = 0;
        if (!outputEnded && !PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr))
            outputEnded = true;  // broken pipe: every writer closed it
        if (available > 0) {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(available, buffer.size()));
            if (!ReadFile(readEnd.get(), buffer.data(), want, &got, nullptr)) outputEnded = true;
            for (DWORD i = 0; i < got && !lineEnded; ++i) {
                if (buffer[i] == '\n') {
                    lineEnded = true;
                } else if (first.size() > limits_.maxLineBytes + 2) {  // room for the CRs before the LF
                    return tooLong(limits_.maxLineBytes);
                } else {
                    first.push_back(buffer[i]);
                }
            }
        }
        // Once it has ended, what it printed is all there is, unless a program
        // it started still writes: then the first line is enough.
        if (exited && (available == 0 || outputEnded || lineEnded)) break;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            command.terminate();
            return failure(TokenCommandError::TimedOut,
                           formatBounded("the token command did not end within %d ms and was terminated",
                                         limits_.timeoutMs));
        }
        if (available > 0) {
            if (WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0) {
                command.terminate();
                return failure(TokenCommandError::Stopped, "the token command was stopped");
            }
            continue;
        }
        const HANDLE waits[] = {stop_.get(), command.process()};
        const DWORD slice = static_cast<DWORD>(
            std::min<ULONGLONG>(deadline - now, static_cast<ULONGLONG>(std::max(limits_.pollMs, 1))));
        // Once the output has ended only the command's end matters.
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, outputEnded ? static_cast<DWORD>(deadline - now)
                                                                               : slice);
        if (woke == WAIT_OBJECT_0) {
            command.terminate();
            return failure(TokenCommandError::Stopped, "the token command was stopped");
        }
    }
    command.release();

    DWORD exitCode = 0;
    if (!GetExitCodeProcess(command.process(), &exitCode))
        return failure(TokenCommandError::Failed,
                       formatBounded("the token command's exit code could not be read (error %lu)", GetLastError()));
    if (exitCode != 0) {
        TokenCommandResult result = failure(
            TokenCommandError::ExitCode,
            formatBounded("the token command ended with exit code %lu", static_cast<unsigned long>(exitCode)));
        result.exitCode = exitCode;
        return result;
    }
    const auto begin = std::find_if_not(first.begin(), first.end(), isBlank);
    const auto end = std::find_if_not(first.rbegin(), std::string::reverse_iterator(begin), isBlank).base();
    if (static_cast<std::size_t>(end - begin) > limits_.maxLineBytes) return tooLong(limits_.maxLineBytes);
    std::string token(begin, end);
    if (token.empty())
        return failure(TokenCommandError::NoToken, lineEnded || !first.empty()
                                                       ? "the token command's first line is empty"
                                                       : "the token command printed nothing");
    // A token is printable text; a control character means the output is something else.
    if (std::any_of(token.begin(), token.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        SecureZeroMemory(token.data(), token.size());
        return failure(TokenCommandError::BadText, "the token command's first line holds a control character");
    }
    SecureZeroMemory(first.data(), first.size());
    TokenCommandResult result;
    result.error = TokenCommandError::None;
    result.token = std::move(token);
    return result;
}

}  // namespace rvo
