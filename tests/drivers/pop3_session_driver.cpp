// Runs one POP3 session against a real server for the end-to-end tests.
//
//   pop3_session_driver --host=H --port=P --user=U --password=W --mail-path=M
//       --domain=D [--database=PATH] [--status=N] [--wait-ms=N] [--timeouts=N]
//       [--log=FILE]
//
// The database connection is the programs' own: KELVAR_ODBC or the Access
// text with PATH (default: mail2xrv.mdb beside this program). Log lines,
// progress lines ("SHOW ...") and captions ("CAPTION ...") go to FILE or
// stdout; the last line is "RESULT n". Exit code: the session's result.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/core/text/exception.h"
#include "tests/drivers/session_driver_support.h"
#include "engine/win32/db/data_model.h"
#include "engine/win32/net/winsock_init.h"
#include "engine/win32/pop3/pop3_active_obj.h"

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
    std::string database;
    std::string logPath;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string v;
        if (option(arg, "--host", v)) settings.serverAddress = v;
        else if (option(arg, "--port", v)) settings.pop3Port = std::atoi(v.c_str());
        else if (option(arg, "--user", v)) account.user = v;
        else if (option(arg, "--password", v)) account.password = v;
        else if (option(arg, "--mail-path", v)) settings.mailPath = v;
        else if (option(arg, "--domain", v)) account.domain = v;
        else if (option(arg, "--status", v)) account.status = std::atoi(v.c_str());
        else if (option(arg, "--database", v)) database = v;
        else if (option(arg, "--wait-ms", v)) timings.waitSliceMs = std::strtoul(v.c_str(), nullptr, 10);
        else if (option(arg, "--timeouts", v)) timings.extraTimeouts = std::atoi(v.c_str());
        else if (option(arg, "--log", v)) logPath = v;
        else {
            std::fprintf(stderr, "pop3_session_driver: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (!settings.mailPath.empty() && settings.mailPath.back() != '\\') settings.mailPath += '\\';
    if (database.empty()) database = migrationDatabasePath();

    std::FILE* file = logPath.empty() ? stdout : std::fopen(logPath.c_str(), "ab");
    if (!file) return 2;
    int result = 1;
    {
        Output output(file);
        try {
            WinsockInit sockets;
            Pop3ActiveObj session(settings, account, dataModelOpener(output, migrationConnectionText(database)),
                                  output, &output, timings);
            session.startThread();
            session.attachProgress(&output);
            session.resume();
            const DWORD bound = static_cast<DWORD>(timings.waitSliceMs) * (timings.extraTimeouts + 3) + 30000;
            if (!output.waitFinished(bound)) output.write("DRIVER the session did not finish");
            session.stop();
            session.waitForEnd(INFINITE);
            result = output.result();
        } catch (const rvo::Exception& e) {
            output.write(std::string("DRIVER ") + e.text());
        }
        output.write("RESULT " + std::to_string(result));
    }
    if (file != stdout) std::fclose(file);
    return result;
}
