// Runs one IMAP4 session against a server for the end-to-end tests.
//
//   imap_session_driver --host=H --port=P --user=U --password=W --mail-path=M
//       --domain=D [--mark-deleted=0|1] [--migrate-deleted=0|1]
//       [--create-empty=0|1] [--sys-folders=;A;B;C;D;] [--exclude=X;Y]
//       [--pipeline=N] [--wait-ms=N] [--timeouts=N] [--log=FILE]
//
// Log lines, progress lines ("SHOW ...") and captions ("CAPTION ...", line
// break as "|") go to FILE or stdout; then "BIAS n" (the time-zone bias in
// minutes), "PEAK_WORKING_SET before after" (bytes), and last "RESULT n".
// Exit code: the session's result.
#include <windows.h>

#include <string>

#include "batch/core/settings_rules.h"
#include "tests/drivers/session_driver_support.h"
#include "engine/win32/imap/imap_active_obj.h"
#include "engine/win32/net/winsock_init.h"

using namespace rvo;
using namespace rvo::driver;

int main(int argc, char** argv) {
    DriverOptions o;
    MigrationSettings& settings = o.settings;
    const bool parsed = parseOptions(argc, argv, "imap_session_driver", o, [&](std::string_view arg, std::string& v) {
        if (option(arg, "--mark-deleted", v)) settings.markDeleted = std::atoi(v.c_str());
        else if (option(arg, "--migrate-deleted", v)) settings.migrateDeleted = std::atoi(v.c_str());
        else if (option(arg, "--create-empty", v)) settings.createEmpty = std::atoi(v.c_str());
        else if (option(arg, "--sys-folders", v)) settings.systemFolderNames = parseSystemFolders(v);
        else if (option(arg, "--exclude", v)) settings.excludedFolders = parseExcludedFolders(v);
        else if (option(arg, "--pipeline", v)) settings.pipelineDepth = parsePipelineDepth(v).depth;
        else return false;
        return true;
    });
    if (!parsed) return 2;
    if (o.port != 0) settings.imapPort = o.port;

    return runDriver(o.logPath, [&](Output& output) {
        TIME_ZONE_INFORMATION zone;
        GetTimeZoneInformation(&zone);
        output.write("BIAS " + std::to_string(zone.Bias));
        WinsockInit sockets;
        const unsigned long long before = peakWorkingSet();
        ImapActiveObj session(settings, o.account, output, &output, o.timings);
        const DWORD bound = static_cast<DWORD>(o.timings.waitSliceMs) * (o.timings.extraTimeouts + 3) + 600000;
        const int result = runSession(session, output, bound);
        output.write("PEAK_WORKING_SET " + std::to_string(before) + " " + std::to_string(peakWorkingSet()));
        return result;
    });
}
