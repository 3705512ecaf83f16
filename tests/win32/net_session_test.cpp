#include <gtest/gtest.h>

#include <algorithm>
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/log/log_format.h"
#include "engine/core/text/exception.h"
#include "engine/win32/net/socket_session.h"
#include "engine/win32/net/winsock_init.h"

namespace rvo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Polls `condition` for up to ten seconds.
bool eventually(const std::function<bool()>& condition) {
    for (const auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(2ms))
        if (condition()) return true;
    return condition();
}

// The same, handling this thread's window messages meanwhile.
bool eventuallyPumping(const std::function<bool()>& condition) {
    return eventually([&] {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        return condition();
    });
}

class Lines {
public:
    void add(std::string_view text) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text);
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    bool has(std::string_view text) const { return count(text, false) > 0; }
    bool hasPrefix(std::string_view prefix) const { return count(prefix, true) > 0; }
    std::size_t count(std::string_view text, bool prefix) const {
        std::size_t n = 0;
        for (const auto& line : all()) n += prefix ? line.compare(0, text.size(), text) == 0 : line == text;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class RecordingLog : public LogSink, public Lines {
public:
    void report(std::string_view objectName, std::string_view text) override {
        EXPECT_TRUE(objectName == expectedName) << objectName;
        add(text);
    }
    std::string_view expectedName;
};

// Shows lines in a window of the thread that created it, as the dialog does:
// every line is a message sent to that thread.
class WindowView : public ProgressView {
public:
    WindowView() : window_(CreateWindowA("STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr)) {}
    ~WindowView() override { DestroyWindow(window_); }
    void addLine(std::string_view text) override {
        SendMessageA(window_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(std::string(text).c_str()));
    }
    void setCaption(std::string_view) override {}
    std::string text() const {
        char buffer[64] = {};
        GetWindowTextA(window_, buffer, sizeof buffer);
        return buffer;
    }

private:
    HWND window_;
};

class RecordingView : public ProgressView, public Lines {
public:
    void addLine(std::string_view text) override { add(text); }
    void setCaption(std::string_view text) override { captions.add(text); }
    Lines captions;
};

// A TCP server on loopback that plays one scripted connection on a thread.
class LoopbackServer {
public:
    explicit LoopbackServer(std::function<void(LoopbackServer&, SOCKET)> script) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const SocketAddress any(0, "127.0.0.1");
        EXPECT_EQ(::bind(listener_, any.get(), any.size()), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        sockaddr_in bound{};
        int size = sizeof bound;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &size);
        port_ = ntohs(bound.sin_port);
        thread_ = std::thread([this, script] {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(listener_, &ready);
            timeval wait{10, 0};
            if (::select(0, &ready, nullptr, nullptr, &wait) != 1) return;
            const SOCKET client = ::accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            accepted = Clock::now();
            script(*this, client);
            ::closesocket(client);
        });
    }
    ~LoopbackServer() {
        release();
        thread_.join();
        ::closesocket(listener_);
    }
    unsigned short port() const { return port_; }
    void release() { released_ = true; }
    // Keeps the connection open until the test releases it.
    void hold() const { eventually([this] { return released_.load(); }); }
    static void sendAll(SOCKET s, std::string_view bytes) {
        while (!bytes.empty()) {
            const int n = ::send(s, bytes.data(), static_cast<int>(bytes.size()), 0);
            if (n <= 0) return;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    Clock::time_point accepted;

private:
    SOCKET listener_;
    unsigned short port_ = 0;
    std::atomic<bool> released_{false};
    std::thread thread_;
};

class TestSession : public SocketSession, public SessionObserver {
public:
    TestSession(const SessionKind& kind, RecordingLog& log, const SessionTimings& timings, std::string host,
                unsigned short port)
        : SocketSession(kind, log, this, timings), host_(std::move(host)), port_(port) {
        log.expectedName = kind.objectName;
    }

    void start() override { connectToServer(host_, port_); }
    void finish() override {
        if (showOnFinish) showLine("finishing");
        // The test dialogue never completes: how it ended is the connection's word.
        settleEnding(1, EndingRecord{}, MigrationTally{}, false);
        endSession(running() ? 0 : 1);
    }
    void sessionFinished(int) override { ++finished; }

    void dispatchLine(std::string_view line) override {
        lines.emplace_back(line);
        if (onLine) onLine(*this, line);
    }
    void dispatchLiteral(std::string_view chunk, bool last) override {
        literal.append(chunk);
        largestPiece = std::max(largestPiece, chunk.size());
        literalDone = last;
    }
    void connectionOpened() override {
        if (onOpened) onOpened(*this);
    }

    using SocketSession::closeConnection;
    using SocketSession::readLiteral;
    using SocketSession::showCaption;
    using SocketSession::showLine;
    using SocketSession::sendAll;

    std::function<void(TestSession&, std::string_view)> onLine;
    std::function<void(TestSession&)> onOpened;
    std::vector<std::string> lines;
    std::string literal;
    std::size_t largestPiece = 0;
    bool literalDone = false;
    bool showOnFinish = false;
    std::atomic<int> finished{0};

private:
    std::string host_;
    unsigned short port_;
};

class NetSession : public ::testing::Test {
protected:
    SessionTimings shortWaits(unsigned long sliceMs = 10000) const {
        SessionTimings t;
        t.waitSliceMs = sliceMs;
        t.stopWaitMs = 5000;
        return t;
    }
    std::unique_ptr<TestSession> makeSession(const SessionKind& kind, const SessionTimings& timings,
                                             unsigned short port, std::string host = "127.0.0.1") {
        return std::make_unique<TestSession>(kind, log, timings, std::move(host), port);
    }
    // Runs the session the way the programs do; returns its run time.
    long long runToEnd(TestSession& session) {
        session.startThread();
        session.attachProgress(&view);
        const auto begun = Clock::now();
        session.resume();
        EXPECT_TRUE(session.waitForEnd(10000));
        EXPECT_EQ(session.finished, 1);
        return msSince(begun);
    }

    WinsockInit sockets;
    RecordingLog log;
    RecordingView view;
};

unsigned short closedPort() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    const SocketAddress any(0, "127.0.0.1");
    ::bind(s, any.get(), any.size());
    sockaddr_in bound{};
    int size = sizeof bound;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &size);
    ::closesocket(s);
    return ntohs(bound.sin_port);
}

TEST_F(NetSession, RefusedConnectIsShownLoggedAndEndsWithoutWaitingForItself) {
    auto session = makeSession(kImapSessionKind, shortWaits(), closedPort());
    // The failed connect stops the session on its own thread: no stop bound.
    EXPECT_LT(runToEnd(*session), 2500);
    const std::string refused = "Could not establish connection to server - 10061";
    EXPECT_EQ(view.all(), (std::vector<std::string>{std::string(kBanner), std::string(kBanner),
                                                    "Connecting to server [127.0.0.1]", refused}));
    EXPECT_EQ(log.all(), std::vector<std::string>{refused});
    EXPECT_FALSE(session->running());
    EXPECT_EQ(session->ending().end, SessionEnd::ConnectRefused);
    EXPECT_EQ(session->ending().reason, "the connection was refused: " + refused);
}

TEST_F(NetSession, UnknownHostIsLoggedOnlyAndTheLoopReturnsAtOnce) {
    auto session = makeSession(kPop3SessionKind, shortWaits(60000), 110, "no-such-host.invalid");
    runToEnd(*session);
    const auto logged = log.all();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("Could not retrieve host information - ", 0), 0u) << logged[0];
    EXPECT_FALSE(view.hasPrefix("Could not"));
    EXPECT_EQ(session->stopRequests(), 0);  // the loop never waited
    EXPECT_EQ(session->ending().end, SessionEnd::Failed);
}

TEST_F(NetSession, SilenceEndsTheSessionAfterTheSixthSlice) {
    LoopbackServer server([](LoopbackServer& s, SOCKET) { s.hold(); });
    auto session = makeSession(kImapSessionKind, shortWaits(40), server.port());
    // Timed from the session's start: the server's thread may note the
    // accept later than the session begins its first slice.
    EXPECT_GE(runToEnd(*session), 6 * 40 - 10);
    EXPECT_TRUE(log.has("Connected to the host server"));
    EXPECT_TRUE(log.hasPrefix("Timed out waiting for server - "));
    EXPECT_FALSE(session->running());
    EXPECT_EQ(session->ending().end, SessionEnd::Stalled);
}

TEST_F(NetSession, OneReceivedByteStartsTheSilenceCountAgain) {
    LoopbackServer server([](LoopbackServer& s, SOCKET client) {
        std::this_thread::sleep_for(150ms);  // three slices of silence
        LoopbackServer::sendAll(client, "x");
        s.hold();
    });
    auto session = makeSession(kImapSessionKind, shortWaits(50), server.port());
    runToEnd(*session);
    // Without the reset the session would end 300 ms after the connect.
    EXPECT_GE(msSince(server.accepted), 150 + 6 * 50 - 30);
    EXPECT_TRUE(log.hasPrefix("Timed out waiting for server - "));
    EXPECT_TRUE(session->lines.empty());  // "x" never got its line feed
}

// The peer's last data, sent right before it closes, reaches the dialogue in
// both handling orders, even when it needs many receives.
TEST_F(NetSession, PeerCloseDeliversEverythingSentBeforeIt) {
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += "line " + std::to_string(i) + "\r\n";
    for (const SessionKind* kind : {&kImapSessionKind, &kPop3SessionKind}) {
        SCOPED_TRACE(std::string(kind->objectName));
        log.clear();
        view.clear();
        LoopbackServer server([&](LoopbackServer&, SOCKET client) {
            LoopbackServer::sendAll(client, burst + "unfinished");
        });
        SessionTimings timings = shortWaits();
        timings.receiveBytes = 64;
        auto session = makeSession(*kind, timings, server.port());
        runToEnd(*session);
        const std::string end = kind->lineEnd == LineEnd::Strip ? "" : "\r";
        ASSERT_EQ(session->lines.size(), 2000u);
        for (int i = 0; i < 2000; i += 333) EXPECT_EQ(session->lines[i], "line " + std::to_string(i) + end);
        EXPECT_EQ(session->lines.back(), "line 1999" + end);
        EXPECT_TRUE(view.has("Connection closed"));
        EXPECT_TRUE(log.has("Connection closed"));
        EXPECT_FALSE(log.hasPrefix("The server is closed"));
        EXPECT_TRUE(session->running());  // a close is not a failure of the dialogue
    }
}

// A burst many receive buffers long, with the server still there: receives
// that fill the buffer are followed at once, and the one that finds nothing
// more is not a failure.
TEST_F(NetSession, AFullReceiveIsFollowedAtOnceAndAnEmptyOneIsNoFailure) {
    std::string burst;
    for (int i = 0; i < 3000; ++i) burst += "line " + std::to_string(i) + "\r\n";
    LoopbackServer server([&](LoopbackServer& s, SOCKET client) {
        LoopbackServer::sendAll(client, burst);
        std::this_thread::sleep_for(100ms);
        LoopbackServer::sendAll(client, "done\r\n");
        s.hold();
    });
    SessionTimings timings = shortWaits();
    timings.receiveBytes = 64;
    timings.receiveBatchBytes = 256;
    auto session = makeSession(kImapSessionKind, timings, server.port());
    session->onLine = [](TestSession& s, std::string_view line) {
        if (line == "done\r") s.closeConnection();
    };
    EXPECT_LT(runToEnd(*session), 5000);
    ASSERT_EQ(session->lines.size(), 3001u);
    for (int i = 0; i < 3000; i += 271) EXPECT_EQ(session->lines[i], "line " + std::to_string(i) + "\r");
    EXPECT_EQ(session->lines[2999], "line 2999\r");
    EXPECT_FALSE(log.hasPrefix("The winsock error"));
    EXPECT_FALSE(log.hasPrefix("The server is closed"));
}

// The line bound is the one the session was given: a longer line ends it.
TEST_F(NetSession, ALineLongerThanTheBoundGivenEndsTheSession) {
    LoopbackServer server([](LoopbackServer& s, SOCKET client) {
        LoopbackServer::sendAll(client, "short\r\n" + std::string(300, 'x'));
        s.hold();
    });
    SessionTimings timings = shortWaits();
    timings.maxLineBytes = 100;
    auto session = makeSession(kPop3SessionKind, timings, server.port());
    EXPECT_LT(runToEnd(*session), 3000);
    EXPECT_EQ(session->lines, std::vector<std::string>{"short"});
    EXPECT_TRUE(log.has("The server sent more than 100 bytes without a line end; the session ends"));
    EXPECT_FALSE(session->running());
}

TEST_F(NetSession, ProgressIsHeldBackWithinTheIntervalAndTheLastCaptionIsShownAtTheEnd) {
    std::string burst;
    for (int i = 0; i < 3000; ++i) burst += "line " + std::to_string(i) + "\r\n";
    LoopbackServer server([&](LoopbackServer&, SOCKET client) { LoopbackServer::sendAll(client, burst); });
    SessionTimings timings = shortWaits();
    timings.progressIntervalMs = 100;
    auto session = makeSession(kPop3SessionKind, timings, server.port());
    session->onLine = [](TestSession& s, std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        s.showCaption(std::string(line) + " caption");
    };
    const long long ms = runToEnd(*session);
    const auto captions = view.captions.all();
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(captions.back(), "line 2999 caption");
    // One at the start, one per interval, and the one held at the end.
    EXPECT_LE(static_cast<long long>(captions.size()), 2 + ms / 100) << ms << " ms";
}

TEST_F(NetSession, HeldLinesAreShownWhileTheServerIsSilentWithoutCountingASlice) {
    LoopbackServer server([](LoopbackServer& s, SOCKET client) {
        LoopbackServer::sendAll(client, "one\r\ntwo\r\nthree\r\n");
        s.hold();
    });
    SessionTimings timings = shortWaits(400);
    timings.extraTimeouts = 1;
    timings.progressIntervalMs = 100;
    auto session = makeSession(kPop3SessionKind, timings, server.port());
    session->onLine = [](TestSession& s, std::string_view line) { s.showLine(std::string(line.substr(0, 3)) + "!"); };
    session->startThread();
    session->attachProgress(&view);
    session->resume();
    // Well within the first 400 ms slice of silence.
    EXPECT_TRUE(eventually([&] { return view.has("thr!"); }));
    EXPECT_EQ(session->finished, 0);  // shown by the short wait, not by the end of the session
    const auto shown = view.all();
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "one!") + std::count(shown.begin(), shown.end(), "two!"), 2);
    EXPECT_TRUE(session->waitForEnd(10000));
    server.release();
    // The short waits for the display did not shorten the silence allowed.
    EXPECT_GE(msSince(server.accepted), 2 * 400 - 30);
    EXPECT_TRUE(log.hasPrefix("Timed out waiting for server - "));
}

// Cancel from the dialog's thread: the wait ends at once, and the worker's
// last line, which needs that thread, is not starved by the stop.
TEST_F(NetSession, StopFromAnotherThreadEndsTheWaitAndLetsTheWorkerFinish) {
    LoopbackServer server([](LoopbackServer& s, SOCKET) { s.hold(); });
    WindowView window;
    auto session = makeSession(kImapSessionKind, shortWaits(10000), server.port());
    session->showOnFinish = true;
    session->startThread();
    session->attachProgress(&window);
    session->resume();
    ASSERT_TRUE(eventuallyPumping([&] { return log.has("Connected to the host server"); }));
    const auto stopped = Clock::now();
    EXPECT_TRUE(session->stop());
    EXPECT_LT(msSince(stopped), 2000);
    EXPECT_EQ(window.text(), "finishing");
    EXPECT_EQ(session->finished, 1);
    EXPECT_EQ(log.all(), std::vector<std::string>{"Connected to the host server"});
    EXPECT_EQ(session->ending().end, SessionEnd::Cancelled);
}

TEST_F(NetSession, StopIsSeenBeforeEventsThatArePendingAreLookedAt) {
    std::atomic<bool> inHandler{false}, sendMore{false}, letHandlerGo{false};
    LoopbackServer server([&](LoopbackServer& s, SOCKET client) {
        LoopbackServer::sendAll(client, "block\r\n");
        eventually([&] { return sendMore.load(); });
        LoopbackServer::sendAll(client, "after\r\n");
        s.hold();
    });
    auto session = makeSession(kPop3SessionKind, shortWaits(10000), server.port());
    session->onLine = [&](TestSession&, std::string_view) {
        inHandler = true;
        eventually([&] { return letHandlerGo.load(); });
    };
    session->startThread();
    session->resume();
    ASSERT_TRUE(eventually([&] { return inHandler.load(); }));
    sendMore = true;
    std::this_thread::sleep_for(100ms);  // "after" is waiting in the socket
    std::atomic<bool> ended{false};
    std::thread canceller([&] { ended = session->stop(); });
    ASSERT_TRUE(eventually([&] { return session->stopRequests() > 0; }));
    letHandlerGo = true;
    canceller.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(session->finished, 1);
    EXPECT_EQ(session->lines, std::vector<std::string>{"block"});
}

TEST_F(NetSession, SendAllDeliversEveryByteToASlowReader) {
    std::string command(8 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < command.size(); ++i) command[i] = static_cast<char>(i * 7 + i / 4096);
    std::string received;
    LoopbackServer server([&](LoopbackServer&, SOCKET client) {
        std::this_thread::sleep_for(300ms);  // the sender's buffers fill up meanwhile
        std::vector<char> buffer(65536);
        while (received.size() < command.size()) {
            const int n = ::recv(client, buffer.data(), static_cast<int>(buffer.size()), 0);
            if (n <= 0) break;
            received.append(buffer.data(), static_cast<std::size_t>(n));
        }
    });
    bool sent = false;
    auto session = makeSession(kPop3SessionKind, shortWaits(), server.port());
    session->onOpened = [&](TestSession& s) { sent = s.sendAll(command); };
    runToEnd(*session);
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received == command) << received.size() << " of " << command.size() << " bytes arrived";
}

TEST_F(NetSession, LiteralStreamsInPiecesAndImapCloseEndsWithoutASliceOfWaiting) {
    std::string body;
    for (int i = 0; body.size() < 100000; ++i) body += "Line " + std::to_string(i) + (i % 7 ? "\r\n" : "\n\0\r\n");
    LoopbackServer server([&](LoopbackServer& s, SOCKET client) {
        LoopbackServer::sendAll(client, "* 1 FETCH (BODY[] {" + std::to_string(body.size()) + "}\r\n" + body +
                                            ")\r\nA004 OK FETCH done\r\n");
        s.hold();
    });
    auto session = makeSession(kImapSessionKind, shortWaits(10000), server.port());
    session->onLine = [](TestSession& s, std::string_view line) {
        if (line.back() == '\r' && line[line.size() - 2] == '}') {
            const std::size_t open = line.rfind('{');
            s.readLiteral(std::strtoull(std::string(line.substr(open + 1)).c_str(), nullptr, 10));
        }
        if (line.rfind("A004 OK FETCH", 0) == 0) s.closeConnection();
    };
    EXPECT_LT(runToEnd(*session), 3000);
    EXPECT_TRUE(session->literalDone);
    EXPECT_TRUE(session->literal == body);
    EXPECT_LE(session->largestPiece, 2047u);
    EXPECT_EQ(session->lines.size(), 3u);
    EXPECT_EQ(session->lines[1], ")\r");
    // The socket closed by the dialogue ends the loop without a wait or a
    // question about its events, which would fail (10038) and be logged.
    EXPECT_FALSE(log.hasPrefix("Could not retrieve socket event - "));
    EXPECT_FALSE(log.hasPrefix("Failed to wait for socket event - "));
    EXPECT_FALSE(session->running());
}

TEST_F(NetSession, Pop3CloseShutsDownInOrderAndEndsTheSession) {
    std::atomic<bool> orderlyEnd{false};
    LoopbackServer server([&](LoopbackServer&, SOCKET client) {
        LoopbackServer::sendAll(client, "-ERR go away\r\n");
        char buffer[64];
        orderlyEnd = ::recv(client, buffer, sizeof buffer, 0) == 0;
    });
    auto session = makeSession(kPop3SessionKind, shortWaits(10000), server.port());
    session->onLine = [](TestSession& s, std::string_view) { s.closeConnection(); };
    EXPECT_LT(runToEnd(*session), 3000);
    EXPECT_FALSE(session->running());
    EXPECT_TRUE(eventually([&] { return orderlyEnd.load(); }));
    EXPECT_EQ(log.all(), std::vector<std::string>{"Connected to the host server"});
}

// An exception from the dialogue ends the session and is logged; the worker
// still runs finish instead of taking the process down.
TEST_F(NetSession, ExceptionFromTheDialogueEndsTheSessionAndFinishStillRuns) {
    for (const SessionKind* kind : {&kImapSessionKind, &kPop3SessionKind}) {
        SCOPED_TRACE(std::string(kind->objectName));
        log.clear();
        LoopbackServer server([](LoopbackServer& s, SOCKET client) {
            LoopbackServer::sendAll(client, "* OK\r\n");
            s.hold();
        });
        auto session = makeSession(*kind, shortWaits(10000), server.port());
        session->onLine = [](TestSession&, std::string_view) { throw Exception("handler failed"); };
        runToEnd(*session);
        EXPECT_FALSE(session->running());
        EXPECT_TRUE(log.has(kind->catchLoopExceptions ? kind->unknownErrorText : "handler failed"));
    }
}

// A server that closes or resets the connection in the middle of the
// dialogue: a dropped connection, whichever way it goes, for both kinds.
TEST_F(NetSession, APeerThatClosesOrResetsMidDialogueIsADroppedConnection) {
    for (const SessionKind* kind : {&kImapSessionKind, &kPop3SessionKind}) {
        for (const bool reset : {false, true}) {
            SCOPED_TRACE(std::string(kind->objectName) + (reset ? " reset" : " close"));
            log.clear();
            LoopbackServer server([reset](LoopbackServer&, SOCKET client) {
                LoopbackServer::sendAll(client, "* OK ready\r\n");
                std::this_thread::sleep_for(50ms);
                if (reset) {
                    const linger abort{1, 0};
                    ::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
                }
            });
            auto session = makeSession(*kind, shortWaits(10000), server.port());
            runToEnd(*session);
            EXPECT_EQ(session->lines.size(), 1u);
            EXPECT_EQ(session->ending().end, SessionEnd::ConnectionDropped) << session->ending().reason;
            EXPECT_TRUE(session->ending().lastRefusal.empty());
        }
    }
}

}  // namespace
}  // namespace rvo
