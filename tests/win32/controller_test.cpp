// The batch controller with scripted sessions: accounts that cannot start,
// the close box, workers that outlive their stop, several accounts at once,
// retries and the run's report; and the owner of running sessions itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "batch/win32/account_record.h"
#include "batch/win32/controller.h"
#include "engine/core/text/exception.h"
#include "engine/win32/net/winsock_init.h"
#include "engine/win32/session/running_sessions.h"
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


// ---- Several accounts at once, retries and the report ----

// What the workers of a run did, seen from the sessions themselves: which
// user directories ran at the same time and how many sessions at most.
class RunWatch {
public:
    void started(const std::string& directory) {
        const std::lock_guard lock(mutex_);
        if (!running_.insert(directory).second) twinsTogether = true;
        maxRunning = std::max(maxRunning, running_.size());
    }
    void ended(const std::string& directory) {
        const std::lock_guard lock(mutex_);
        running_.erase(directory);
    }
    std::atomic<bool> twinsTogether{false};
    std::size_t maxRunning = 0;

private:
    std::mutex mutex_;
    std::set<std::string> running_;
};

struct ScriptedEnd {
    int result = 0;
    SessionEnding ending;
};

ScriptedEnd endedWith(SessionEnd end, std::string lastRefusal = {}) {
    ScriptedEnd scripted;
    scripted.result = end == SessionEnd::Completed ? 0 : 1;
    scripted.ending.end = end;
    scripted.ending.lastRefusal = std::move(lastRefusal);
    if (end == SessionEnd::Completed) {
        scripted.ending.stored = 3;
        scripted.ending.bytesStored = 300;
    } else {
        scripted.ending.reason = std::string(sessionEndText(end));
        scripted.ending.stored = 1;
    }
    return scripted;
}

// Never connects: ends with its scripted ending once its gate opens (at
// once when it has none), or as cancelled when it is stopped first.
class GatedSession : public SocketSession {
public:
    GatedSession(LogSink& log, SessionObserver* observer, HANDLE gate, ScriptedEnd end, RunWatch& watch,
                 std::string directory)
        : SocketSession(kImapSessionKind, log, observer),
          gate_(gate),
          end_(std::move(end)),
          watch_(watch),
          directory_(std::move(directory)),
          stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~GatedSession() override { CloseHandle(stop_); }
    void start() override {
        watch_.started(directory_);
        showLine("Connected to the host server");
    }
    void signal() override { SetEvent(stop_); }
    void run() override {
        if (!gate_) return;
        const HANDLE both[] = {gate_, stop_};
        if (WaitForMultipleObjects(2, both, FALSE, 60000) != WAIT_OBJECT_0) {
            end_.result = 1;
            end_.ending = SessionEnding{};
            end_.ending.end = SessionEnd::Cancelled;
        }
    }
    void finish() override {
        watch_.ended(directory_);
        writableEnding() = end_.ending;
        endSession(end_.result);
    }
    void dispatchLine(std::string_view) override {}

private:
    HANDLE gate_;
    ScriptedEnd end_;
    RunWatch& watch_;
    std::string directory_;
    HANDLE stop_;
};

class GatedFactory : public AccountSessionFactory {
public:
    explicit GatedFactory(std::string accountsPath) : accountsPath_(std::move(accountsPath)) {}
    ~GatedFactory() override {
        for (auto& [index, gate] : gates) CloseHandle(gate);
    }
    std::unique_ptr<SocketSession> create(int, int accountIndex, LogSink& log, SessionObserver* observer) override {
        created.push_back(accountIndex);
        createdAt.push_back(GetTickCount64());
        ScriptedEnd end = endedWith(SessionEnd::Completed);
        if (auto e = ends.find(accountIndex); e != ends.end() && !e->second.empty()) {
            end = e->second.front();
            e->second.erase(e->second.begin());
        }
        HANDLE gate = nullptr;
        if (gated) {
            gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            gates.emplace_back(accountIndex, gate);
        }
        const AccountRecord record(accountIndex, accountsPath_);
        return std::make_unique<GatedSession>(log, observer, gate, end, watch,
                                              record.user() + "\\" + record.domain());
    }
    RunOptions runOptions() const override { return options; }
    // Lets the latest session of the account end.
    void open(int accountIndex) {
        for (auto g = gates.rbegin(); g != gates.rend(); ++g)
            if (g->first == accountIndex) {
                SetEvent(g->second);
                return;
            }
        ADD_FAILURE() << "no session of account " << accountIndex;
    }
    RunOptions options;
    bool gated = true;
    std::map<int, std::vector<ScriptedEnd>> ends;
    std::vector<int> created;
    std::vector<ULONGLONG> createdAt;
    std::vector<std::pair<int, HANDLE>> gates;
    RunWatch watch;

private:
    std::string accountsPath_;
};

// The report as a reader gets it: rows of fields (no field here holds a
// comma, quote or line break).
std::vector<std::vector<std::string>> readReport(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    const std::string text = test::readWholeFile(path);
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        const std::string line = text.substr(start, end - start);
        std::vector<std::string> fields(1);
        for (const char c : line) {
            if (c == ',')
                fields.emplace_back();
            else
                fields.back().push_back(c);
        }
        rows.push_back(std::move(fields));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return rows;
}

constexpr std::size_t kOutcome = 4, kStored = 5, kSeconds = 9, kRetries = 10, kReason = 11;

class ParallelRun : public ::testing::Test {
protected:
    ParallelRun() : dir_("parallel"), accounts_(dir_.file("accounts.ini")), factory_(accounts_) {
        limits_.reportBase = dir_.path();
        limits_.retry = RetryLimits{.firstWait = std::chrono::milliseconds(20),
                                    .longestWait = std::chrono::milliseconds(100),
                                    .longestSuggestedWait = std::chrono::milliseconds(2000)};
    }
    // Seven accounts; [3] writes into the same user directory as [1] (case aside).
    void writeSevenAccounts() {
        const char* users[] = {"alice", "bob", "ALICE", "carol", "dave", "erin", "frank"};
        std::string text;
        for (int i = 1; i <= 7; ++i)
            text += "[" + std::to_string(i) + "]\r\nU=" + users[i - 1] + "\r\nD=example.com\r\nA=1\r\nStatus=0\r\n";
        test::writeWholeFile(accounts_, text);
    }
    int status(int index) const { return AccountRecord(index, accounts_).status(); }
    HWND open(Controller& controller) {
        return launcher_.create(GetModuleHandleA(nullptr), IDD_PROGRESS, controller, nullptr);
    }
    std::size_t linesWith(const std::string& part) const {
        return std::count_if(log_.lines.begin(), log_.lines.end(),
                             [&](const std::string& line) { return line.find(part) != std::string::npos; });
    }
    void pumpUntilCreated(std::size_t count) {
        pumpUntil([&] { return factory_.created.size() >= count; });
        ASSERT_EQ(factory_.created.size(), count);
    }

    WinsockInit sockets_{2, 0};
    TempFolder dir_;
    std::string accounts_;
    RecordingLog log_;
    GatedFactory factory_;
    ControllerLimits limits_;
    DialogLauncher launcher_;
};

TEST_F(ParallelRun, AccountsStartInListOrderTwinsNeverTogetherAndEachStatusIsWrittenAsItEnds) {
    writeSevenAccounts();
    factory_.options = RunOptions{.parallel = 3, .retries = 0, .checkOnly = false, .keysWritten = true};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    HWND window = open(controller);
    // [3] shares its directory with the running [1]: passed over, [4] takes the third slot.
    pumpUntilCreated(3);
    EXPECT_EQ(factory_.created, (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(GetWindowTextLengthA(window) > 0, true);
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_NE(std::string(title).find("3 running"), std::string::npos) << title;
    ASSERT_FALSE(controller.reportPath().empty());
    auto rows = readReport(controller.reportPath());
    ASSERT_EQ(rows.size(), 8u) << "a complete report from the start";
    EXPECT_EQ(rows[1][kOutcome], "not attempted");

    // [2] ends first: its Status at once, while the others still run; [3]'s twin still runs, so [5] starts.
    factory_.open(2);
    pumpUntilCreated(4);
    EXPECT_EQ(factory_.created.back(), 5);
    EXPECT_EQ(status(2), 1);
    EXPECT_EQ(status(1), 0);
    EXPECT_EQ(status(4), 0);
    rows = readReport(controller.reportPath());
    EXPECT_EQ(rows[2][kOutcome], "migrated");
    EXPECT_EQ(rows[2][kStored], "3");
    EXPECT_EQ(rows[1][kOutcome], "not attempted");

    // [1] ends: its twin [3] is the earliest waiting account and goes first.
    factory_.open(1);
    pumpUntilCreated(5);
    EXPECT_EQ(factory_.created.back(), 3);
    EXPECT_EQ(status(1), 1);

    for (const int index : {5, 4}) factory_.open(index);
    pumpUntilCreated(7);
    EXPECT_EQ(factory_.created, (std::vector<int>{1, 2, 4, 5, 3, 6, 7}));
    for (const int index : {3, 6, 7}) factory_.open(index);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed()) << "the run stalled";
    EXPECT_TRUE(controller.endSessions(5000));

    EXPECT_FALSE(factory_.watch.twinsTogether) << "two sessions wrote into one user directory at once";
    EXPECT_EQ(factory_.watch.maxRunning, 3u);
    for (int index = 1; index <= 7; ++index) EXPECT_EQ(status(index), 1) << index;
    rows = readReport(controller.reportPath());
    ASSERT_EQ(rows.size(), 8u);
    for (std::size_t row = 1; row <= 7; ++row) {
        EXPECT_EQ(rows[row][0], std::to_string(row));
        EXPECT_EQ(rows[row][kOutcome], "migrated") << row;
    }
    // The keys were written: the run sums itself up.
    EXPECT_EQ(linesWith("Controller Object Accounts: 7, 7 migrated"), 1u);
    EXPECT_EQ(linesWith("Controller Object Messages: 21 stored"), 1u);
}

TEST_F(ParallelRun, CancelWithThreeRunningStopsThemAllAndTheReportSaysWhy) {
    writeSevenAccounts();
    factory_.options = RunOptions{.parallel = 3, .retries = 2, .checkOnly = false, .keysWritten = true};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    HWND window = open(controller);
    pumpUntilCreated(3);
    // Every session is a GatedSession on its worker; wait until all three have started.
    Sleep(100);
    SendMessageA(window, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(factory_.created, (std::vector<int>{1, 2, 4})) << "nothing starts after Cancel";
    EXPECT_EQ(linesWith("Migration canceled by user"), 1u);
    EXPECT_EQ(linesWith("Retry"), 0u) << "a cancelled session is not retried";
    for (int index = 1; index <= 7; ++index) EXPECT_EQ(status(index), 0) << index;

    const auto rows = readReport(controller.reportPath());
    ASSERT_EQ(rows.size(), 8u);
    for (const std::size_t row : {1u, 2u, 4u}) {
        EXPECT_EQ(rows[row][kOutcome], "left for the next run") << row;
        EXPECT_EQ(rows[row][kReason], "the run was cancelled") << row;
    }
    for (const std::size_t row : {3u, 5u, 6u, 7u}) EXPECT_EQ(rows[row][kOutcome], "not attempted") << row;
    EXPECT_EQ(linesWith("Controller Object Accounts: 7, 3 left for the next run, 4 not attempted"), 1u);
}

std::vector<std::string> listRows(HWND dialog) {
    ListViewControl list(IDC_PROGRESS_LIST);
    list.attach(dialog);
    std::vector<std::string> rows;
    for (int i = 0; i < list.itemCount(); ++i) rows.push_back(list.itemText(i));
    return rows;
}

std::string dialogText(HWND dialog, int item) {
    char text[512] = {};
    if (item == 0)
        GetWindowTextA(dialog, text, sizeof text);
    else
        GetDlgItemTextA(dialog, item, text, sizeof text);
    return text;
}

TEST_F(ParallelRun, TheDialogShowsOneRowPerRunningAccountAndTheRunsCounts) {
    test::writeWholeFile(accounts_, "[1]\r\nU=alice\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                                    "[2]\r\nU=bob\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                                    "[3]\r\nU=carol\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.options = RunOptions{.parallel = 2, .retries = 0, .checkOnly = false, .keysWritten = true};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    HWND window = open(controller);
    const std::vector<std::string> firstTwo{"alice: Connected to the host server", "bob: Connected to the host server"};
    pumpUntil([&] { return listRows(window) == firstTwo; });
    EXPECT_EQ(listRows(window), firstTwo);
    EXPECT_NE(dialogText(window, 0).find("0 done, 2 running, 1 left"), std::string::npos) << dialogText(window, 0);
    EXPECT_NE(dialogText(window, IDC_MESSAGE_TEXT).find("0 done, 2 running, 1 left"), std::string::npos);

    // alice ends: her row goes, carol's comes in the freed place.
    factory_.open(1);
    const std::vector<std::string> next{"carol: Connected to the host server", "bob: Connected to the host server"};
    pumpUntil([&] { return listRows(window) == next; });
    EXPECT_EQ(listRows(window), next);
    EXPECT_NE(dialogText(window, IDC_MESSAGE_TEXT).find("Messages stored: 3"), std::string::npos)
        << dialogText(window, IDC_MESSAGE_TEXT);
    for (const int index : {2, 3}) factory_.open(index);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
}

TEST_F(ParallelRun, LinesAboutAnAccountNameIt) {
    test::writeWholeFile(accounts_, "[1]\r\nU=alice\r\nD=example.com\r\nA=1\r\nStatus=1\r\n"
                                    "[2]\r\nU=bob\r\nD=..\r\nA=1\r\nStatus=0\r\n"
                                    "[3]\r\nU=carol\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.options = RunOptions{.parallel = 2, .retries = 1, .checkOnly = false, .keysWritten = true};
    factory_.gated = false;
    factory_.ends = {{3, {endedWith(SessionEnd::ConnectionDropped), endedWith(SessionEnd::Completed)}}};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(linesWith("IMap2XRV Object [1 alice] Skipping alice. User already migrated."), 1u);
    EXPECT_EQ(linesWith("Controller Object [2 bob] Skipping account [2] of user bob:"), 1u);
    EXPECT_EQ(linesWith("Controller Object [3 carol] Retry 1 of 1 for account [3] (carol)"), 1u);
    const auto rows = readReport(controller.reportPath());
    EXPECT_EQ(rows[1][kOutcome], "already migrated");
    EXPECT_EQ(rows[2][kOutcome], "skipped");
    EXPECT_EQ(rows[3][kOutcome], "migrated");
    EXPECT_EQ(rows[3][kRetries], "1");
    EXPECT_EQ(status(3), 1);
}

TEST_F(ParallelRun, ADroppedConnectionIsRetriedUntilTheAccountIsMigrated) {
    test::writeWholeFile(accounts_, "[1]\r\nU=alice\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.options = RunOptions{.parallel = 1, .retries = 3, .checkOnly = false, .keysWritten = true};
    factory_.gated = false;
    factory_.ends = {{1,
                      {endedWith(SessionEnd::ConnectionDropped), endedWith(SessionEnd::ConnectionDropped),
                       endedWith(SessionEnd::Completed)}}};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(factory_.created, (std::vector<int>{1, 1, 1}));
    // One account at a time: no tag; the waits double from the first.
    EXPECT_EQ(linesWith("Controller Object Retry 1 of 3 for account [1] (alice) in 20 ms: the connection dropped"),
              1u);
    EXPECT_EQ(linesWith("Controller Object Retry 2 of 3 for account [1] (alice) in 40 ms: the connection dropped"),
              1u);
    EXPECT_EQ(linesWith("Retry 3"), 0u);
    EXPECT_EQ(status(1), 1);
    const auto rows = readReport(controller.reportPath());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][kOutcome], "migrated");
    EXPECT_EQ(rows[1][kRetries], "2");
    EXPECT_EQ(rows[1][kReason], "");
    // The whole run of the account: one message from each dropped session, three from the last.
    EXPECT_EQ(rows[1][kStored], "5");
    EXPECT_EQ(rows[1][kStored + 3], "300") << "bytes stored";
    EXPECT_EQ(linesWith("Controller Object Messages: 5 stored"), 1u);
}

TEST_F(ParallelRun, ARefusedLoginIsNeverRetriedAndRetriesRunOut) {
    test::writeWholeFile(accounts_, "[1]\r\nU=alice\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                                    "[2]\r\nU=bob\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.options = RunOptions{.parallel = 1, .retries = 2, .checkOnly = false, .keysWritten = false};
    factory_.gated = false;
    factory_.ends = {{1, {endedWith(SessionEnd::LoginRefused, "A001 NO [AUTHENTICATIONFAILED] Invalid credentials")}},
                     {2,
                      {endedWith(SessionEnd::Stalled), endedWith(SessionEnd::Stalled),
                       endedWith(SessionEnd::Stalled)}}};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(factory_.created, (std::vector<int>{1, 2, 2, 2}));
    EXPECT_EQ(linesWith("for account [1]"), 0u);
    EXPECT_EQ(linesWith("for account [2]"), 2u);
    EXPECT_EQ(status(1), 0);
    EXPECT_EQ(status(2), 0);
    const auto rows = readReport(controller.reportPath());
    EXPECT_EQ(rows[1][kOutcome], "left for the next run");
    EXPECT_EQ(rows[1][kReason], sessionEndText(SessionEnd::LoginRefused));
    EXPECT_EQ(rows[2][kOutcome], "left for the next run");
    EXPECT_EQ(rows[2][kRetries], "2");
    // No run key written: no closing lines.
    EXPECT_EQ(linesWith("Accounts:"), 0u);
}

TEST_F(ParallelRun, AThrottledAnswerWaitsAsLongAsTheServerSuggests) {
    test::writeWholeFile(accounts_, "[1]\r\nU=alice\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.options = RunOptions{.parallel = 1, .retries = 1, .checkOnly = false, .keysWritten = true};
    factory_.gated = false;
    factory_.ends = {{1,
                      {endedWith(SessionEnd::ServerError,
                                 "A004 NO [THROTTLED] Request is throttled. Suggested Backoff Time: 400 milliseconds"),
                       endedWith(SessionEnd::Completed)}}};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
    ASSERT_EQ(factory_.createdAt.size(), 2u);
    EXPECT_GE(factory_.createdAt[1] - factory_.createdAt[0], 380u) << "the server's wait, not the 20 ms of our own";
    EXPECT_EQ(linesWith("Retry 1 of 1 for account [1] (alice) in 400 ms: "), 1u);
    EXPECT_EQ(status(1), 1);
}

TEST_F(ParallelRun, CancelDuringABackOffWaitEndsTheRunAtOnce) {
    test::writeWholeFile(accounts_, "[1]\r\nU=alice\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                                    "[2]\r\nU=bob\r\nD=example.com\r\nA=1\r\nStatus=0\r\n");
    factory_.options = RunOptions{.parallel = 1, .retries = 3, .checkOnly = false, .keysWritten = true};
    factory_.gated = false;
    limits_.retry.firstWait = std::chrono::minutes(1);
    limits_.retry.longestWait = std::chrono::minutes(1);
    factory_.ends = {{1, {endedWith(SessionEnd::ConnectionDropped)}}};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    HWND window = open(controller);
    pumpUntil([&] { return linesWith("Retry 1 of 3") == 1; });
    ASSERT_EQ(linesWith("Retry 1 of 3"), 1u);
    const ULONGLONG before = GetTickCount64();
    SendMessageA(window, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(controller.dialogDestroyed());
    // Far below the minute of the wait (destroying a window alone takes Wine about two seconds here).
    EXPECT_LT(GetTickCount64() - before, 10000u);
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(factory_.created, std::vector<int>{1});
    EXPECT_EQ(status(1), 0);
    const auto rows = readReport(controller.reportPath());
    EXPECT_EQ(rows[1][kOutcome], "left for the next run");
    EXPECT_EQ(rows[1][kReason], "the run was cancelled");
    EXPECT_EQ(rows[1][kRetries], "1");
    EXPECT_EQ(rows[2][kOutcome], "not attempted");
}

TEST_F(ParallelRun, ACheckCountsWithoutWritingStatus) {
    test::writeWholeFile(accounts_, "[1]\r\nU=alice\r\nD=example.com\r\nA=1\r\nStatus=0\r\n"
                                    "[2]\r\nU=bob\r\nD=example.com\r\nA=2\r\nStatus=0\r\n");
    factory_.options = RunOptions{.parallel = 2, .retries = 0, .checkOnly = true, .keysWritten = true};
    factory_.gated = false;
    ScriptedEnd counted = endedWith(SessionEnd::Completed);
    counted.ending.stored = 0;
    counted.ending.bytesStored = 0;
    counted.ending.check = CheckCounts{.folders = 4, .messages = 120, .bytes = 65536, .alreadyStored = 20};
    factory_.ends = {{1, {counted}}, {2, {endedWith(SessionEnd::LoginRefused)}}};
    Controller controller(log_, factory_, 0, accounts_, limits_);
    open(controller);
    pumpUntil([&] { return controller.dialogDestroyed(); });
    ASSERT_TRUE(controller.dialogDestroyed());
    EXPECT_TRUE(controller.endSessions(5000));
    EXPECT_EQ(status(1), 0) << "a check writes nothing into the list";
    EXPECT_EQ(status(2), 0);
    const auto rows = readReport(controller.reportPath());
    ASSERT_EQ(rows.size(), 3u);
    ASSERT_EQ(rows[1].size(), reportColumns().size());
    EXPECT_EQ(rows[1][kOutcome], "checked");
    EXPECT_EQ(rows[1][6], "20") << "already stored";
    EXPECT_EQ((std::vector<std::string>(rows[1].end() - 3, rows[1].end())),
              (std::vector<std::string>{"4", "120", "65536"}));
    EXPECT_EQ(rows[2][kOutcome], "left for the next run");
    EXPECT_EQ(rows[2][kReason], sessionEndText(SessionEnd::LoginRefused));
}

// ---- The owner of running sessions ----

class SessionOwner : public ::testing::Test {
protected:
    std::unique_ptr<ScriptedSession> make(SessionObserver* observer, bool endAtOnce, HANDLE release,
                                          unsigned long stopWaitMs = 2000) {
        SessionTimings timings;
        timings.stopWaitMs = stopWaitMs;
        return std::make_unique<ScriptedSession>(kImapSessionKind, log_, observer, endAtOnce, release, timings);
    }
    WinsockInit sockets_{2, 0};
    RecordingLog log_;
    std::mutex mutex_;
    std::vector<SessionFinish> finishes_;
};

TEST_F(SessionOwner, EachEndIsToldWithItsSlotAndAStaleOneIsKnownAsSuch) {
    RunningSessions owner(log_, "Owner", 2, 5000, [this](const SessionFinish& finish) {
        const std::lock_guard lock(mutex_);
        finishes_.push_back(finish);
    });
    const std::uint32_t first = owner.start(1, make(owner.nextObserver(1), true, nullptr), nullptr);
    ASSERT_TRUE(owner.waitForEnd(1, 5000));
    std::vector<SessionFinish> seen;
    {
        const std::lock_guard lock(mutex_);
        seen = finishes_;
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].slot, 1u);
    EXPECT_EQ(seen[0].serial, first);
    EXPECT_EQ(seen[0].result, 0);
    EXPECT_TRUE(owner.isCurrent(seen[0]));
    // Its ending is handed back and the session freed.
    const std::optional<SessionEnding> ending = owner.finish(1);
    ASSERT_TRUE(ending.has_value());
    EXPECT_EQ(owner.session(1), nullptr);
    EXPECT_FALSE(owner.isCurrent(seen[0]));

    // A new session in the slot: the old word is no longer its word.
    const std::uint32_t second = owner.start(1, make(owner.nextObserver(1), false, nullptr), nullptr);
    EXPECT_NE(second, first);
    EXPECT_FALSE(owner.isCurrent(SessionFinish{1, first, 0}));
    EXPECT_TRUE(owner.running(1));
    EXPECT_EQ(owner.firstRunning(), std::optional<std::size_t>(1));
    EXPECT_TRUE(owner.stopAll());
    EXPECT_FALSE(owner.anyAlive());
    EXPECT_TRUE(owner.endAll(1000));
    EXPECT_EQ(owner.session(1), nullptr);
}

TEST_F(SessionOwner, AStuckWorkerIsKeptWithinTheBoundAndFreedOnceItEnds) {
    const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RunningSessions owner(log_, "Owner", 1, 100, nullptr);
    ScriptedSession* stuck = nullptr;
    {
        auto session = make(owner.nextObserver(0), false, release, 50);
        stuck = session.get();
        owner.start(0, std::move(session), nullptr);
    }
    pumpUntil([&] { return stuck->started.load(); });
    // Retired: it does not end within 100 ms, so it is kept aside, not freed.
    const ULONGLONG before = GetTickCount64();
    owner.retire(0);
    // Far below the minute of the wait (destroying a window alone takes Wine about two seconds here).
    EXPECT_LT(GetTickCount64() - before, 10000u);
    EXPECT_EQ(owner.session(0), nullptr);
    EXPECT_TRUE(logHas(log_, "Owner A session did not end; it is kept until the program ends"));
    EXPECT_FALSE(stuck->waitForEnd(0));
    EXPECT_TRUE(owner.anyAlive());
    // The slot takes a new session meanwhile.
    owner.start(0, make(owner.nextObserver(0), true, nullptr), nullptr);
    EXPECT_TRUE(owner.waitForEnd(0, 5000));

    EXPECT_FALSE(owner.endAll(100));
    EXPECT_TRUE(logHas(log_, "Owner A session did not end within 100 ms"));
    std::thread later([release] {
        Sleep(200);
        SetEvent(release);
    });
    EXPECT_TRUE(owner.endAll(10000));
    later.join();
    CloseHandle(release);
    EXPECT_FALSE(owner.anyAlive());
    EXPECT_TRUE(logHas(log_, "Owner The session has ended"));
}

TEST_F(SessionOwner, AWaitWithoutLimitIsLoggedOnceAndLastsUntilTheEnd) {
    const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RunningSessions owner(log_, "Owner", 1, RunningSessions::kWithoutLimit, nullptr);
    auto session = make(owner.nextObserver(0), false, release, 20);
    ScriptedSession* running = session.get();
    owner.start(0, std::move(session), nullptr);
    pumpUntil([&] { return running->started.load(); });
    EXPECT_FALSE(running->stop());
    std::thread later([release] {
        Sleep(300);
        SetEvent(release);
    });
    EXPECT_TRUE(owner.waitForEnd(0, 0));
    later.join();
    CloseHandle(release);
    EXPECT_TRUE(logHas(log_, "Owner Waiting for the session to end"));
    owner.clear(0);
    EXPECT_EQ(owner.session(0), nullptr);
}

}  // namespace
}  // namespace rvo
