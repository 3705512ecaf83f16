// Runs one POP3 session against a real server for the end-to-end tests.
//
//   pop3_session_driver --host=H --port=P --user=U --password=W --mail-path=M
//       --domain=D [--database=PATH] [--wait-ms=N] [--timeouts=N]
//       [--pipeline=N] [--record-attempts=N] [--record-pause-ms=N] [--log=FILE]
//
// The database connection is the programs' own: KELVAR_ODBC or the Access
// text with PATH (default: mail2xrv.mdb beside this program). Log lines,
// progress lines ("SHOW ...") and captions ("CAPTION ...") go to FILE or
// stdout; the last line is "RESULT n". Exit code: the session's result.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "batch/core/settings_rules.h"
#include "tests/drivers/session_driver_support.h"
#include "engine/win32/db/data_model.h"
#include "engine/win32/net/winsock_init.h"
#include "engine/win32/pop3/pop3_active_obj.h"

using namespace rvo;
using namespace rvo::driver;

int main(int argc, char** argv) {
    DriverOptions o;
    std::string database;
    Pop3RecordRetry retry;
    const bool parsed = parseOptions(argc, argv, "pop3_session_driver", o, [&](std::string_view arg, std::string& v) {
        if (option(arg, "--pipeline", v)) {
            o.settings.pipelineDepth = parsePipelineDepth(v).depth;
            return true;
        }
        if (option(arg, "--record-attempts", v)) {
            retry.attempts = std::atoi(v.c_str());
            return true;
        }
        if (option(arg, "--record-pause-ms", v)) {
            retry.pauseMs = static_cast<unsigned long>(std::atol(v.c_str()));
            return true;
        }
        return option(arg, "--database", database);
    });
    if (!parsed) return 2;
    if (o.port != 0) o.settings.pop3Port = o.port;
    if (database.empty()) database = migrationDatabasePath();

    return runDriver(o.logPath, [&](Output& output) {
        WinsockInit sockets;
        Pop3ActiveObj session(o.settings, o.account, dataModelOpener(output, migrationConnectionText(database)),
                              output, &output, o.timings);
        session.setRecordRetry(retry);
        const DWORD bound = static_cast<DWORD>(o.timings.waitSliceMs) * (o.timings.extraTimeouts + 3) + 30000;
        return runSession(session, output, bound);
    });
}
