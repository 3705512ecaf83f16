// The library's folder listing over real sockets, with waits shortened by
// the constructing code: what ends the call, and what the wizard is told.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "engine/win32/net/socket.h"
#include "engine/win32/net/winsock_init.h"
#include "library/win32/folder_list_session.h"
#include "tests/win32/recording_log.h"

namespace rvo {
namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// One scripted connection on loopback; the script gets the accepted socket.
class ScriptServer {
public:
    explicit ScriptServer(std::function<void(SOCKET)> script) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const SocketAddress any(0, "127.0.0.1");
        EXPECT_EQ(::bind(listener_, any.get(), any.size()), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        sockaddr_in bound{};
        int size = sizeof bound;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &size);
        port_ = ntohs(bound.sin_port);
        thread_ = std::thread([this, script] {
            const SOCKET client = ::accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            script(client);
            ::closesocket(client);
        });
    }
    ~ScriptServer() {
        ::closesocket(listener_);
        thread_.join();
    }
    int port() const { return port_; }

    static void send(SOCKET s, std::string_view bytes) { ::send(s, bytes.data(), static_cast<int>(bytes.size()), 0); }
    // Reads up to the end of one command line; false when the client left.
    static bool readCommand(SOCKET s) {
        std::string line;
        char c;
        while (::recv(s, &c, 1, 0) == 1) {
            line.push_back(c);
            if (line.ends_with("\r\n")) return true;
        }
        return false;
    }

private:
    SOCKET listener_;
    int port_ = 0;
    std::thread thread_;
};

SessionTimings fast(unsigned long sliceMs) {
    SessionTimings t;
    t.waitSliceMs = sliceMs;
    t.extraTimeouts = 2;
    t.stopWaitMs = 200;
    return t;
}

bool logged(const test::RecordingLog& log, const std::string& line) {
    return std::find(log.lines.begin(), log.lines.end(), line) != log.lines.end();
}

TEST(FolderListSession, AnsweredLogoutReturnsTheListWithoutWaitingForTheClose) {
    WinsockInit sockets;
    bool clientLeft = false;
    test::RecordingLog log;
    FolderListOutcome out;
    long long elapsed = 0;
    {
        ScriptServer server([&](SOCKET s) {
            ScriptServer::send(s, "* OK ready\r\n");
            ScriptServer::readCommand(s);
            ScriptServer::send(s, "A000 OK Logged in\r\n");
            ScriptServer::readCommand(s);
            ScriptServer::send(s, "* LIST (\\HasNoChildren) \"/\" INBOX\r\n* LIST () \"/\" Drafts\r\nA001 OK done\r\n");
            ScriptServer::readCommand(s);
            ScriptServer::send(s, "* BYE bye\r\nA002 OK done\r\n");
            // This server never closes: the client must.
            char c;
            clientLeft = ::recv(s, &c, 1, 0) <= 0;
        });
        const auto began = Clock::now();
        // A slice of silence would show as a delay of seconds.
        out = listFolders("127.0.0.1", server.port(), "alice", "pw", 65536, log, fast(5000), 20);
        elapsed = msSince(began);
    }
    EXPECT_LT(elapsed, 3000);
    EXPECT_TRUE(clientLeft);
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(out.folderList, "INBOX;Drafts");
    EXPECT_EQ(out.errorText, "");
    EXPECT_TRUE(logged(log, "GetFolder Function Created Socket"));
    EXPECT_TRUE(logged(log, "GetFolder Function Retrieved host information"));
    EXPECT_TRUE(logged(log, "GetFolder Function Connected to the host server"));
    EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "GetFolder Function Connection closed"), 1);
}

TEST(FolderListSession, SilenceEndsTheCallAfterTheShortenedTimeOuts) {
    WinsockInit sockets;
    ScriptServer server([](SOCKET s) {
        // Greets, then says nothing more until the client leaves.
        ScriptServer::send(s, "* OK ready\r\n");
        ScriptServer::readCommand(s);
        char c;
        ::recv(s, &c, 1, 0);
    });
    test::RecordingLog log;
    const auto began = Clock::now();
    const FolderListOutcome out = listFolders("127.0.0.1", server.port(), "alice", "pw", 65536, log, fast(100), 20);
    EXPECT_LT(msSince(began), 3000);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.folderList, "");
    EXPECT_EQ(out.errorText, "") << "a time-out is logged, not told";
    const bool timedOut = std::any_of(log.lines.begin(), log.lines.end(), [](const std::string& line) {
        return line.starts_with("IMap2XRV Function Timed out waiting for server - ");
    });
    EXPECT_TRUE(timedOut);
}

TEST(FolderListSession, ALeavingServerAndABadPortFailWithTheirReason) {
    WinsockInit sockets;
    {
        ScriptServer server([](SOCKET s) {
            ScriptServer::send(s, "* OK ready\r\n");
            ScriptServer::readCommand(s);
            ScriptServer::send(s, "A000 OK Logged in\r\n");
            ScriptServer::readCommand(s);
            ScriptServer::send(s, "* LIST () \"/\" INBOX\r\n");
        });
        test::RecordingLog log;
        const FolderListOutcome out =
            listFolders("127.0.0.1", server.port(), "alice", "pw", 65536, log, fast(2000), 20);
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.folderList, "");
        EXPECT_EQ(out.errorText.rfind("(IMAP2XRV)", 0), 0u) << out.errorText;
    }
    test::RecordingLog log;
    const FolderListOutcome out = listFolders("127.0.0.1", 70000, "alice", "pw", 65536, log, fast(100), 20);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.errorText, "(IMAP2XRV)The IMAP port 70000 is not a TCP port");
}

}  // namespace
}  // namespace rvo
