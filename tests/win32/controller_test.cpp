// The batch controller with scripted sessions: accounts that cannot start,
// the close box, and workers that outlive their stop.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <map>
#include <string>

#include "batch/win32/account_record.h"
#include "batch/win32/controller.h"
#include "engine/core/text/exception.h"
#include "engine/win32/net/winsock_init.h"
#include "resources/resource_ids.h"
#include "tests/win32/recording_log.h"
#include "tests/win32/temp_folder.h"

namespace rvo {
namespace {

using test::RecordingLog;
using test::TempFolder;

// Never connects. `endAtOnce`: the dialogue ends normally as soon as it
// starts; otherwise it waits until stopped. `release`: when set, the worker
// keeps running after it was stopped until the event is set.
class ScriptedSession : public SocketSession {
public:
    ScriptedSession(const SessionKind& kind, LogSink& log, SessionObserver* observer, bool endAtOnce, HANDLE release,
                    const SessionTimings& timings, int result = 0)
        : SocketSession(kind, log, observer, timings), endAtOnce_(endAtOnce), release_(release), result_(result) {}
    void start() override {
        started = true;
        if (endAtOnce_) stopRunning();
    }
    void finish() override {
        if (release_) WaitForSingleObject(release_, 60000);
        endSession(endAtOnce_ ? result_ : 1);
    }
    void dispatchLine(std::string_view) override {}
    std::atomic<bool> started{false};

private:
    bool endAtOnce_;
    HANDLE release_;
    int result_;
};

enum class Make { Null, Throw, EndAtOnce, WaitForStop };

class ScriptedFactory : public AccountSessionFactory {
public:
    std::unique_ptr<SocketSession> create(int protocol, int accountIndex, LogSink& log,
                                          SessionObserver* observer) override {
        created.push_back(accountIndex);
        const Make make = plan.count(accountIndex) ? plan[accountIndex] : Make::EndAtOnce;
        if (make == Make::Null) return nullptr;
        if (make == Make::Throw)
            throw Exception("(1814) The specified resource name cannot be found.\n"
                            "Failed to load a string from resource.");
        int result = 0;
        if (auto r = results.find(accountIndex); r != results.end() && !r->second.empty()) {
            result = r->second.front();
            r->second.erase(r->second.begin());
        }
        auto session = std::make_unique<ScriptedSession>(protocol == 2 ? kPop3SessionKind : kImapSessionKind, log,
                                                         observer, make == Make::EndAtOnce, release, timings, result);
        last = session.get();
        return session;
    }
    void reportRunSettings(LogSink& log) override { log.report("Test", "run settings"); }
    std::map<int, Make> plan;
    // The results the account's sessions end with, one per session made (then 0).
    std::map<int, std::vector<int>> results;
    std::vector<int> created;
    HANDLE release = nullptr;
    SessionTimings timings;
    ScriptedSession* last = nullptr;
};

void pumpUntil(const std::function<bool()>& done, unsigned long timeoutMs = 20000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done() && GetTickCount64() < deadline) {
        MSG message{};
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) continue;  // the dialog's end; the test decides when to stop
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(10);
    }
}

bool logHas(const RecordingLog& log, const std::string& part) {
    return std::any_of(log.lines.begin(), log.lines.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

class ControllerRun : public ::testing::Test {
protected:
    ControllerRun() : dir_("controller"), accounts_(dir_.file("accounts.ini")) {}

    void writeAccounts(const std::string& text) { test::writeWholeFile(accounts_, text); }
    int status(int index) const { return AccountRecord(index, accounts_).status(); }
    HWND open(Controller& controller) {
        return launcher_.create(GetModuleHandleA(nullptr), IDD_PROGRESS, controller, nullptr);
    }

    WinsockInit sockets_{2, 0};
    TempFolder dir_;
    std::string accounts_;
    RecordingLog log_;
    ScriptedFactory factory_;
    DialogLauncher launcher_;
};

TEST_F(ControllerRun, AccountsThatCannotStartArePassedOverAndTheRunGoesOn) {
    writeAccounts("[1]\r\nU=a\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                  "[2]\r\nU=b\r\nD=example.com\r\nA=2\r\nStatus=0\r\n"
                  "[3]\r\nU=c\r\nD=..\\x\r\nA=1\r\nStatus=0\r\n"
                  "[4]\r\nU=d\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                  "[6]\r\nU=f\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.plan = {{1, Make::Null}, {2, Make::Throw}};
    Controller controller(log_, factory_, 0, accounts_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed()) << "the run stalled";
    EXPECT_TRUE(controller.endSessions(5000));

    // The unsafe domain of [3] never reaches a session; [6] lies behind the gap.
    EXPECT_EQ(factory_.created, (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(status(1), 0);
    EXPECT_EQ(status(2), 0);
    EXPECT_EQ(status(3), 0);
    EXPECT_EQ(status(4), 1);
    EXPECT_EQ(status(6), 0);
    EXPECT_TRUE(logHas(log_, "Controller Object The session of account [1] could not be made; the run goes on"));
    EXPECT_TRUE(logHas(log_, "Controller Object (1814) The specified resource name cannot be found."));
    EXPECT_TRUE(logHas(log_, "Controller Object Account [2] was not started; the run goes on with the next account"));
    EXPECT_TRUE(logHas(log_, "Controller Object Skipping account [3] of user c: D \"..\\x\" cannot be a folder of "
                             "the store: it has a \"..\" level"));
    EXPECT_TRUE(logHas(log_, "Controller Object The account list ends at [5], which is missing; not read: [6]"));
    EXPECT_EQ(std::count(log_.lines.begin(), log_.lines.end(), "Test run settings"), 1);
}

TEST_F(ControllerRun, AnExpiredTokenReconnectsTheAccountOnceAndOnlyOnce) {
    // [1] carries on in its second session; [2]'s second session ends the same way and is not retried.
    writeAccounts("[1]\r\nU=a\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                  "[2]\r\nU=b\r\nD=example.com\r\nA=2\r\nStatus=0\r\n"
                  "[3]\r\nU=c\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.results = {{1, {kSessionTokenExpired, 0}},
                        {2, {kSessionTokenExpired, kSessionTokenExpired}},
                        {3, {kSessionTokenExpired, 1}}};
    Controller controller(log_, factory_, 0, accounts_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed()) << "the run stalled";
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(factory_.created, (std::vector<int>{1, 1, 2, 2, 3, 3}));
    EXPECT_EQ(status(1), 1);
    EXPECT_EQ(status(2), 0);
    EXPECT_EQ(status(3), 0);
    EXPECT_TRUE(logHas(log_, "Controller Object The server ended the session of account [2] because its access "
                             "token expired; it reconnects once with a new token"));
    EXPECT_EQ(std::count_if(log_.lines.begin(), log_.lines.end(),
                            [](const std::string& line) { return line.find("reconnects once") != std::string::npos; }),
              3);
}

TEST_F(ControllerRun, AListThatEndsWithoutAGapSaysNothingMore) {
    writeAccounts("[1]\r\nU=a\r\nD=example.com\r\nA=1\r\nStatus=0\r\n[2]\r\nU=b\r\nA=1\r\n");
    Controller controller(log_, factory_, 0, accounts_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.endSessions(5000));
    EXPECT_FALSE(logHas(log_, "account list ends"));
    EXPECT_EQ(status(1), 1);
}

TEST_F(ControllerRun, TheCloseBoxStopsTheRunningSessionAsCancelDoes) {
    writeAccounts("[1]\r\nU=a\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                  "[2]\r\nU=b\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.plan = {{1, Make::WaitForStop}};
    Controller controller(log_, factory_, 0, accounts_);
    HWND window = open(controller);
    pumpUntil([&] { return factory_.last && factory_.last->started; });
    ASSERT_TRUE(factory_.last && factory_.last->started);
    ScriptedSession* running = factory_.last;

    // What a click on the close box sends; the dialog manager makes WM_CLOSE of it.
    SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(controller.dialogDestroyed());
    EXPECT_GT(running->stopRequests(), 0);
    EXPECT_TRUE(running->waitForEnd(0)) << "stopped within the stop wait";
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(factory_.created, std::vector<int>{1}) << "the run ends with the cancelled account";
    EXPECT_EQ(status(1), 0);
    EXPECT_TRUE(logHas(log_, "IMap2XRV Object Migration canceled by user"));
}

TEST_F(ControllerRun, ACanceledPop3AccountIsLoggedUnderThePop3SessionsName) {
    // An IMAP account ends first, so both kinds of session have existed.
    writeAccounts("[1]\r\nU=a\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                  "[2]\r\nU=b\r\nD=example.com\r\nA=2\r\nStatus=0\r\n");
    factory_.plan = {{2, Make::WaitForStop}};
    Controller controller(log_, factory_, 0, accounts_);
    HWND window = open(controller);
    pumpUntil([&] { return factory_.created.size() == 2 && factory_.last && factory_.last->started; });
    ASSERT_EQ(factory_.created, (std::vector<int>{1, 2}));
    SendMessageA(window, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_TRUE(logHas(log_, "Pop32XRV Object Migration canceled by user"));
    EXPECT_FALSE(logHas(log_, "IMap2XRV Object Migration canceled"));
}

TEST_F(ControllerRun, AWorkerThatOutlivesItsStopIsWaitedForBeforeTheEnd) {
    writeAccounts("[1]\r\nU=a\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.plan = {{1, Make::WaitForStop}};
    const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    factory_.release = release;
    factory_.timings.stopWaitMs = 50;
    Controller controller(log_, factory_, 0, accounts_);
    HWND window = open(controller);
    pumpUntil([&] { return factory_.last && factory_.last->started; });
    ScriptedSession* running = factory_.last;
    ASSERT_NE(running, nullptr);

    SendMessageA(window, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(controller.dialogDestroyed());
    EXPECT_FALSE(running->waitForEnd(0));
    EXPECT_TRUE(logHas(log_, "The stopped session has not ended yet; the program waits for it at its end"));

    // A bound shorter than the worker's linger: reported, and the session is kept.
    EXPECT_FALSE(controller.endSessions(100));
    EXPECT_TRUE(logHas(log_, "Controller Object A session did not end within 100 ms"));
    EXPECT_FALSE(running->waitForEnd(0));
    // The worker ends while it is waited for: then it is freed.
    std::thread later([release] {
        Sleep(300);
        SetEvent(release);
    });
    EXPECT_TRUE(controller.endSessions(10000));
    later.join();
    CloseHandle(release);
    EXPECT_TRUE(logHas(log_, "Controller Object The session has ended"));
}

}  // namespace
}  // namespace rvo
