// Runs one IMAP4 session against a server for the end-to-end tests.
//
//   imap_session_driver --host=H --port=P --user=U --password=W --mail-path=M
//       --domain=D [--status=N] [--mark-deleted=0|1] [--migrate-deleted=0|1]
//       [--create-empty=0|1] [--sys-folders=;A;B;C;D;] [--exclude=X;Y]
//       [--wait-ms=N] [--timeouts=N] [--log=FILE]
//
// Log lines, progress lines ("SHOW ...") and captions ("CAPTION ...", line
// break as "|") go to FILE or stdout; then "BIAS n" (the time-zone bias in
// minutes), "PEAK_WORKING_SET before after" (bytes), and last "RESULT n".
// Exit code: the session's result.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "batch/core/settings_rules.h"
#include "tests/drivers/session_driver_support.h"
#include "engine/core/text/exception.h"
#include "engine/win32/imap/imap_active_obj.h"
#include "engine/win32/net/winsock_init.h"

using namespace rvo;
using namespace rvo::driver;

int main(int argc, char** argv) {
    MigrationSettings settings;
    AccountValues account;
    account.status = 0;
    SessionTimings timings;
    timings.waitSliceMs = 1000;
    timings.extraTimeouts = 9;
    timings.skipPauseMs = 0;
    std::string logPath;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string v;
        if (option(arg, "--host", v)) settings.serverAddress = v;
        else if (option(arg, "--port", v)) settings.imapPort = std::atoi(v.c_str());
        else if (option(arg, "--user", v)) account.user = v;
        else if (option(arg, "--password", v)) account.password = v;
        else if (option(arg, "--mail-path", v)) settings.mailPath = v;
        else if (option(arg, "--domain", v)) account.domain = v;
        else if (option(arg, "--status", v)) account.status = std::atoi(v.c_str());
        else if (option(arg, "--mark-deleted", v)) settings.markDeleted = std::atoi(v.c_str());
        else if (option(arg, "--migrate-deleted", v)) settings.migrateDeleted = std::atoi(v.c_str());
        else if (option(arg, "--create-empty", v)) settings.createEmpty = std::atoi(v.c_str());
        else if (option(arg, "--sys-folders", v)) settings.systemFolderNames = parseSystemFolders(v);
        else if (option(arg, "--exclude", v)) settings.excludedFolders = parseExcludedFolders(v);
        else if (option(arg, "--wait-ms", v)) timings.waitSliceMs = std::strtoul(v.c_str(), nullptr, 10);
        else if (option(arg, "--timeouts", v)) timings.extraTimeouts = std::atoi(v.c_str());
        else if (option(arg, "--log", v)) logPath = v;
        else {
            std::fprintf(stderr, "imap_session_driver: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (!settings.mailPath.empty() && settings.mailPath.back() != '\\') settings.mailPath += '\\';

    std::FILE* file = logPath.empty() ? stdout : std::fopen(logPath.c_str(), "ab");
    if (!file) return 2;
    int result = 1;
    {
        Output output(file);
        try {
            TIME_ZONE_INFORMATION zone;
            GetTimeZoneInformation(&zone);
            output.write("BIAS " + std::to_string(zone.Bias));
            WinsockInit sockets;
            const unsigned long long before = peakWorkingSet();
            ImapActiveObj session(settings, account, output, &output, timings);
            session.startThread();
            session.attachProgress(&output);
            session.resume();
            const DWORD bound = static_cast<DWORD>(timings.waitSliceMs) * (timings.extraTimeouts + 3) + 600000;
            if (!output.waitFinished(bound)) output.write("DRIVER the session did not finish");
            session.stop();
            session.waitForEnd(INFINITE);
            result = output.result();
            output.write("PEAK_WORKING_SET " + std::to_string(before) + " " + std::to_string(peakWorkingSet()));
        } catch (const rvo::Exception& e) {
            output.write(std::string("DRIVER ") + e.text());
        }
        output.write("RESULT " + std::to_string(result));
    }
    if (file != stdout) std::fclose(file);
    return result;
}
