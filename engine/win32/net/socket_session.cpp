#include "engine/win32/net/socket_session.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <optional>
#include <utility>

#include "engine/core/log/log_format.h"
#include "engine/core/log/log_text.h"
#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"

namespace rvo {

namespace {
constexpr std::string_view kConnected = "Connected to the host server";
constexpr std::string_view kConnectionClosed = "Connection closed";
constexpr const char* kConnectFailed = "Could not establish connection to server - %d";
// Longest pause between looks at the stop counter while a send waits.
constexpr unsigned long kSendPollMs = 100;

// What a failed connect says about the server.
SessionEnd connectEnd(int error) {
    if (error == WSAECONNREFUSED) return SessionEnd::ConnectRefused;
    if (error == WSAETIMEDOUT) return SessionEnd::ConnectTimedOut;
    return SessionEnd::Failed;
}
}  // namespace

SocketSession::SocketSession(const SessionKind& kind, LogSink& log, SessionObserver* observer,
                             const SessionTimings& timings)
    : ActiveObject(timings.stopWaitMs),
      kind_(kind),
      log_(log),
      observer_(observer),
      timings_(timings),
      silence_(timings.extraTimeouts),
      assembler_(kind.lineEnd, timings.maxLineBytes),
      pieceBytes_(std::clamp<std::size_t>(timings.receiveBytes, 1, INT_MAX)),
      receiveBuffer_(std::clamp<std::size_t>(timings.receiveBatchBytes, pieceBytes_, INT_MAX)) {}

void SocketSession::signal() {
    // stop() signals: from the owner's thread that is Cancel.
    if (!onWorkerThread()) cancelAsked_ = true;
    event_.set();
}

void SocketSession::noteConnectionEnd(SessionEnd end, std::string_view detail) {
    // Once Cancel was asked, what our own stop does to the connection is the cancel.
    if (cancelAsked_ && end != SessionEnd::SettingsMistake && end != SessionEnd::CertificateRefused)
        end = SessionEnd::Cancelled;
    connectionEnding_.note(end, detail);
}

void SocketSession::settleEnding(int result, const EndingRecord& dialogue, const MigrationTally& tally,
                                 bool conversationOver) {
    if (cancelAsked_) noteConnectionEnd(SessionEnd::Cancelled);
    EndingRecord connection;
    if (!conversationOver || connectionEnding_.end() == SessionEnd::Cancelled) connection = connectionEnding_;
    ending_ = rvo::settleEnding(result, dialogue, connection, tally);
    // No credential leaves the session in a text, as none reaches the log.
    ending_.reason = credentials_.applyBounded(ending_.reason, kMaxEndingText);
    ending_.lastRefusal = credentials_.applyBounded(ending_.lastRefusal, kMaxEndingText);
}

std::optional<SaslSignIn> SocketSession::prepareTokenSignIn(const std::string& user, const std::string& host,
                                                           int port, CredentialMask mask) {
    std::string why;
    std::optional<SaslSignIn> signIn;
    if (tokenSignIn_)
        signIn = prepareSignIn(*tokenSignIn_, security_.mode, user, host, static_cast<unsigned>(port), mask, why);
    if (!signIn) {
        // Nothing was connected: the account is left for the next run.
        stopRunning();
        noteConnectionEnd(tokenSignIn_ && tokenSignIn_->tokens ? SessionEnd::LoginRefused : SessionEnd::SettingsMistake,
                          why);
        report(why.empty() ? "No token sign-in is set up" : why);
        return std::nullopt;
    }
    protectCredentials(std::move(mask));
    return signIn;
}

void SocketSession::tokenExpired(const std::string& user) {
    if (tokenSignIn_ && tokenSignIn_->tokens) tokenSignIn_->tokens->expired(user);
}

void SocketSession::attachProgress(ProgressView* view) {
    throttle_.reset();
    progress_ = nullptr;
    if (!view) return;
    throttle_.emplace(*view, timings_.progressIntervalMs, [] { return static_cast<std::uint64_t>(GetTickCount64()); });
    progress_ = &*throttle_;
}

void SocketSession::connectToServer(const std::string& host, unsigned short port) {
    if (security_.mode == Security::Unknown) {
        running_ = false;
        const std::string text = formatBounded(
            "SECURITY=%s is not one of none, tls and starttls; the account is not migrated", security_.text.c_str());
        noteConnectionEnd(SessionEnd::SettingsMistake, text);
        report(text);
        connectionFailed(text);
        return;
    }
    if (security_.mode != Security::None && !prepareSecurity(host)) return;
    try {
        std::string connecting;
        formatString(connecting, "Connecting to server [%s]", host.c_str());
        showLine(kBanner);
        showLine(kBanner);
        showLine(connecting);
        if (kind_.connectWithoutExceptions) {
            connectReportingCodes(host, port);
            return;
        }
        socket_.create();
        socket_.selectEvents(event_.handle(), FD_READ | FD_CONNECT | FD_CLOSE);
        if (const std::optional<SocketAddress> address = resolve(host, port)) socket_.connectTo(*address);
    } catch (const Exception& e) {
        running_ = false;
        noteConnectionEnd(SessionEnd::Failed, e.text());
        report(e.text());
    } catch (...) {
        running_ = false;
        noteConnectionEnd(SessionEnd::Failed);
        report(kind_.unknownErrorText);
    }
}

std::optional<SocketAddress> SocketSession::resolve(const std::string& host, unsigned short port) {
    const hostent* entry = gethostbyname(host.c_str());
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) {
        const int error = WSAGetLastError();
        running_ = false;
        const std::string text = formatBounded("Could not retrieve host information - %d", error);
        noteConnectionEnd(SessionEnd::Failed, text);
        report(text);
        connectionFailed(text);
        return std::nullopt;
    }
    in_addr first;
    std::memcpy(&first, entry->h_addr_list[0], sizeof first);
    return SocketAddress(port, inet_ntoa(first));
}

void SocketSession::connectReportingCodes(const std::string& host, unsigned short port) {
    if (!socket_.tryCreate()) {
        const int error = WSAGetLastError();
        running_ = false;
        const std::string text = formatBounded("Could not create socket - %d", error);
        noteConnectionEnd(SessionEnd::Failed, text);
        report(text);
        connectionFailed(text);
        return;
    }
    if (kind_.logConnectSteps) report("Created Socket");
    socket_.selectEvents(event_.handle(), FD_READ | FD_CONNECT | FD_CLOSE);
    const std::optional<SocketAddress> address = resolve(host, port);
    if (!address) return;
    if (kind_.logConnectSteps) report("Retrieved host information");
    if (const int error = socket_.tryConnect(*address); error != 0) {
        const std::string text = formatBounded(kConnectFailed, error);
        noteConnectionEnd(connectEnd(error), text);
        showLine(text);
        running_ = false;
        report(text);
        connectionFailed(text);
    }
}

void SocketSession::run() {
    if (!running_) return;
    if (!kind_.catchLoopExceptions) {
        loop();
        return;
    }
    try {
        loop();
    } catch (...) {
        // The session cannot say where its dialogue stands: it has failed.
        running_ = false;
        noteConnectionEnd(SessionEnd::Failed);
        report(kind_.unknownErrorText);
    }
}

void SocketSession::loop() {
    const WSAEVENT event = event_.handle();
    for (;;) {
        if (running_) {
            // Held progress is shown when due, even while the server is silent;
            // such a shortened wait is not a slice of silence.
            DWORD slice = timings_.waitSliceMs;
            bool forProgress = false;
            if (const auto due = throttle_ ? throttle_->msUntilDue() : std::nullopt; due && *due < slice) {
                slice = static_cast<DWORD>(*due);
                forProgress = true;
            }
            const DWORD result = WSAWaitForMultipleEvents(1, &event, FALSE, slice, FALSE);
            if (result == WSA_WAIT_TIMEOUT && forProgress) {
                throttle_->poll();
                continue;
            }
            if (result == WSA_WAIT_FAILED) {
                const int error = WSAGetLastError();
                addStopRequest();
                running_ = false;
                noteConnectionEnd(SessionEnd::Failed, formatBounded("Failed to wait for socket event - %d", error));
                reportWaitFailure("Failed to wait for socket event - %d", error);
            } else if (result == WSA_WAIT_TIMEOUT && silence_.timedOut()) {
                const int error = WSAGetLastError();
                addStopRequest();
                running_ = false;
                // Silence before the connect completed is a connect that timed out.
                noteConnectionEnd(connected_ ? SessionEnd::Stalled : SessionEnd::ConnectTimedOut,
                                  formatBounded("Timed out waiting for server - %d", error));
                reportWaitFailure("Timed out waiting for server - %d", error);
            }
        } else {
            addStopRequest();
        }
        // A cancel is seen here, before any event is looked at.
        if (stopRequests() != 0) {
            if (cancelAsked_) noteConnectionEnd(SessionEnd::Cancelled);
            return;
        }
        if (throttle_) throttle_->poll();
        // Closed from this side (the dialogue gave up on the server): nothing
        // can arrive any more, and a closed socket has no events to ask for.
        if (socket_.handle() == INVALID_SOCKET) {
            addStopRequest();
            running_ = false;
            return;
        }

        WSANETWORKEVENTS events;
        std::memset(&events, 0, sizeof events);
        // The wait has reset the event already (see NetworkEvent).
        if (WSAEnumNetworkEvents(socket_.handle(), nullptr, &events) == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            addStopRequest();
            running_ = false;
            noteConnectionEnd(SessionEnd::Failed, formatBounded("Could not retrieve socket event - %d", error));
            reportWaitFailure("Could not retrieve socket event - %d", error);
            continue;
        }
        handleEvents(events);
    }
}

void SocketSession::handleEvents(const WSANETWORKEVENTS& events) {
    closeInPass_ = (events.lNetworkEvents & FD_CLOSE) != 0;
    for (const NetworkEventKind kind : kind_.eventOrder) {
        switch (kind) {
            case NetworkEventKind::Connect:
                if (events.lNetworkEvents & FD_CONNECT) onConnected(events.iErrorCode[FD_CONNECT_BIT]);
                break;
            case NetworkEventKind::Read:
                if (events.lNetworkEvents & FD_READ) {
                    silence_.heard();
                    onReadable();
                }
                break;
            case NetworkEventKind::Close:
                if (events.lNetworkEvents & FD_CLOSE) onPeerClosed();
                break;
        }
    }
    // The loop ends after this pass; what the peer sent before closing is
    // still in the socket and must reach the dialogue.
    if (peerClosed_) {
        drainAfterClose();
        tls_.noteHandshakeCut();
        serverClosed();
    }
    if (tls_.takeCloseNotify()) answerCloseNotify();
}

void SocketSession::onConnected(int errorCode) {
    if (errorCode != 0) {
        const std::string text = formatBounded(kConnectFailed, errorCode);
        noteConnectionEnd(connectEnd(errorCode), text);
        showLine(text);
        running_ = false;
        report(text);
        connectionFailed(text);
        stop();
        return;
    }
    connected_ = true;
    showLine(kConnected);
    report(kConnected);
    if (security_.mode == Security::None) {
        connectionOpened();
        return;
    }
    tls_.connected(security_.mode, upgradeProtocol_);
}

void SocketSession::onReadable() {
    // A receive that fills the buffer has most likely left more behind: that
    // is taken at once, so that one wait serves everything that has arrived.
    // Only the first receive of a pass may find the server gone; a later one
    // that finds nothing leaves that to the events of the next wait. When
    // the server closed in this pass, the rest is the drain's, as it always was.
    for (bool first = true;; first = false) {
        unfed_ = {};
        const int n = socket_.receive(receiveBuffer_.data(), static_cast<int>(receiveBuffer_.size()));
        if (n <= 0) {
            if (first) receiveFailed(n);
            return;
        }
        std::string_view bytes(receiveBuffer_.data(), static_cast<std::size_t>(n));
        if (tls_.active() && !tls_.receive(bytes, bytes)) return;
        feedPieces(bytes);
        if (!running_ || stopRequests() != 0 || socket_.handle() == INVALID_SOCKET) return;
        receiveHandled();
        if (static_cast<std::size_t>(n) < receiveBuffer_.size() || closeInPass_) return;
        if (!running_ || stopRequests() != 0 || socket_.handle() == INVALID_SOCKET) return;
    }
}

void SocketSession::receiveFailed(int n) {
    const int error = WSAGetLastError();
    // A read event whose bytes were already taken: nothing has failed.
    if (n == SOCKET_ERROR && error == WSAEWOULDBLOCK) return;
    if (n == 0) tls_.noteCutRecord();
    tls_.noteHandshakeCut();
    running_ = false;
    noteConnectionEnd(SessionEnd::ConnectionDropped,
                      formatBounded("Could not receive data from server - %d", n == 0 ? 0 : error));
    connectionFailed(formatBounded("Could not receive data from server - %d", n == 0 ? 0 : error));
    if (!kind_.logReceiveFailures) return;
    if (n == 0)
        report("The server is closed the connection abruptly.");
    else
        reportFormatted("The winsock error %d occurred when receiving data.", error);
}

void SocketSession::onPeerClosed() {
    // Closed from this side in the same pass: already logged, nothing to drain.
    // The close_notify and the TCP close of one server are one close.
    if (closedHere_ || closeSeen_) return;
    closeSeen_ = true;
    noteConnectionEnd(SessionEnd::ConnectionDropped, "the server closed the connection");
    showLine(kConnectionClosed);
    report(kConnectionClosed);
    stop();
    peerClosed_ = true;
}

void SocketSession::feedPieces(std::string_view bytes) {
    // Each piece reaches the assembler as one receive of pieceBytes_ would.
    // Where the loop would not have received again (the dialogue ended, a
    // stop was asked, the socket was closed) the rest waits in unfed_, as it
    // would have waited in the socket: only a drain after close takes it.
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), pieceBytes_);
        if (!feedPiece(bytes.substr(0, n))) return;
        bytes.remove_prefix(n);
        if (switchedToTls(bytes.size())) return;
        if (!bytes.empty() && (!running_ || stopRequests() != 0 || socket_.handle() == INVALID_SOCKET)) {
            unfed_ = bytes;
            return;
        }
    }
}

bool SocketSession::drainPieces(std::string_view bytes) {
    // A dialogue that closes the socket here discards what is left, as the
    // close would have discarded it from the socket.
    while (!bytes.empty()) {
        if (socket_.handle() == INVALID_SOCKET) return false;
        const std::size_t n = std::min(bytes.size(), pieceBytes_);
        if (!feedPiece(bytes.substr(0, n))) return false;
        bytes.remove_prefix(n);
        if (switchedToTls(bytes.size())) return false;
    }
    return true;
}

bool SocketSession::feedPiece(std::string_view piece) {
    if (assembler_.feed(piece, *this)) return true;
    // Growing the line until memory runs out would end the session anyway.
    reportFormatted("The server sent more than %u bytes without a line end; the session ends",
                    static_cast<unsigned>(std::min<std::size_t>(timings_.maxLineBytes, UINT_MAX)));
    running_ = false;
    noteConnectionEnd(SessionEnd::Failed, "the server sent a line longer than the bound");
    unfed_ = {};
    return false;
}

void SocketSession::drainAfterClose() {
    peerClosed_ = false;
    if (!drainPieces(std::exchange(unfed_, {}))) return;
    for (;;) {
        const int n = socket_.receive(receiveBuffer_.data(), static_cast<int>(receiveBuffer_.size()));
        if (n <= 0) {
            if (n == 0) tls_.noteCutRecord();
            return;
        }
        std::string_view bytes(receiveBuffer_.data(), static_cast<std::size_t>(n));
        if (tls_.active() && !tls_.receive(bytes, bytes)) return;
        if (!drainPieces(bytes)) return;
    }
}

void SocketSession::closeConnection() {
    if (!kind_.closeEndsSession) {
        closeSteps();
        return;
    }
    try {
        closeSteps();
    } catch (...) {
        report(kind_.unknownErrorText);
    }
    running_ = false;
}

void SocketSession::closeAfterDialogue() {
    if (closedHere_) return;
    closedHere_ = true;
    addStopRequest();
    closeSteps();
    showLine(kConnectionClosed);
    report(kConnectionClosed);
}

void SocketSession::closeSteps() {
    // Bytes taken from the socket but not yet fed are discarded with the rest.
    unfed_ = {};
    // close_notify, as far as the socket takes it at once.
    if (const std::string notify = tls_.closing(); !notify.empty())
        socket_.send(notify.data(), static_cast<int>(notify.size()));
    socket_.shutdown(SD_SEND);
    char discard[256];
    while (socket_.receive(discard, static_cast<int>(sizeof discard)) > 0) {
    }
    socket_.shutdown(SD_BOTH);
    socket_.close();
    // Wakes the loop at once: the next look at the closed socket ends it.
    event_.set();
}

bool SocketSession::sendAll(std::string_view bytes) {
    if (security_.mode == Security::None) return sendRaw(bytes);
    if (!tls_.secure() || !tls_.active()) {
        // Nothing of the dialogue, least of all a credential, goes out in clear text.
        running_ = false;
        noteConnectionEnd(SessionEnd::Failed, "nothing is sent before the encrypted connection is up");
        report("Nothing is sent before the encrypted connection is up");
        return false;
    }
    std::string records;
    return tls_.seal(bytes, records) && sendRaw(records);
}

bool SocketSession::sendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
        const int length = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const int n = socket_.send(bytes.data(), length);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        int error = WSAGetLastError();
        if (n == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
            const WaitResult wait = waitWritable();
            if (wait == WaitResult::Writable) continue;
            running_ = false;
            if (wait == WaitResult::Stopped) {
                if (cancelAsked_) noteConnectionEnd(SessionEnd::Cancelled);
                return false;
            }
            if (wait == WaitResult::TimedOut) {
                // The server takes nothing: as silence while reading.
                noteConnectionEnd(SessionEnd::Stalled, formatBounded("Timed out waiting for server - %d", WSAETIMEDOUT));
                reportFormatted("Timed out waiting for server - %d", WSAETIMEDOUT);
                return false;
            }
            error = WSAGetLastError();
        }
        running_ = false;
        noteConnectionEnd(SessionEnd::ConnectionDropped,
                          formatBounded("The winsock error %d occurred when sending data.", error));
        reportFormatted("The winsock error %d occurred when sending data.", error);
        return false;
    }
    return true;
}

SocketSession::WaitResult SocketSession::waitWritable() {
    // The same bound as silence while reading: the server takes nothing.
    const ULONGLONG limit =
        static_cast<ULONGLONG>(timings_.waitSliceMs) * static_cast<ULONGLONG>(std::max(timings_.extraTimeouts + 1, 1));
    const ULONGLONG deadline = GetTickCount64() + limit;
    for (;;) {
        if (stopRequests() != 0) return WaitResult::Stopped;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return WaitResult::TimedOut;
        const unsigned long slice = static_cast<unsigned long>(std::min<ULONGLONG>(deadline - now, kSendPollMs));
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket_.handle(), &writable);
        FD_SET(socket_.handle(), &failed);
        timeval timeout{static_cast<long>(slice / 1000), static_cast<long>(slice % 1000) * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &timeout);
        if (ready == SOCKET_ERROR || FD_ISSET(socket_.handle(), &failed)) return WaitResult::Failed;
        if (ready > 0) return WaitResult::Writable;
    }
}

void SocketSession::dispatchLiteral(std::string_view, bool) {}

void SocketSession::onLine(std::string_view line) {
    switch (routeLine(tls_.stage())) {
        case LineRoute::Dialogue:
            dispatchLine(line);
            return;
        case LineRoute::Upgrade:
            tls_.upgradeLine(line);
            return;
        case LineRoute::Discard:
            tls_.discard(line.size() + 1);
            return;
        case LineRoute::Ignore:
            return;
    }
}

bool SocketSession::prepareSecurity(const std::string& host) {
    std::string error;
    if (tls_.prepare(host, security_.caFile, error)) return true;
    running_ = false;
    const std::string text = error + "; the account is not migrated";
    noteConnectionEnd(SessionEnd::SettingsMistake, text);
    report(text);
    connectionFailed(text);
    return false;
}

bool SocketSession::switchedToTls(std::size_t bytesLeft) {
    if (!tls_.switching()) return false;
    tls_.discard(assembler_.pendingBytes() + bytesLeft);
    assembler_.clear();
    unfed_ = {};
    tls_.beginHandshake();
    return true;
}

bool SocketSession::channelOpened(const std::string* greeting) {
    connectionOpened();
    if (greeting && running_) dispatchLine(*greeting);
    return running_;
}

void SocketSession::dropConnection(const std::string& text) {
    running_ = false;
    noteConnectionEnd(tls_.dropEnd(), text);
    tls_.end();
    unfed_ = {};
    report(text);
    connectionFailed(text);
}

void SocketSession::answerCloseNotify() {
    if (socket_.handle() == INVALID_SOCKET) return;
    if (const std::string notify = tls_.answerCloseNotify(); !notify.empty())
        socket_.send(notify.data(), static_cast<int>(notify.size()));
    socket_.shutdown(SD_BOTH);
    socket_.close();
}

void SocketSession::endSession(int result) {
    if (progress_ && throttle_) throttle_->flush();
    progress_ = nullptr;
    if (observer_) observer_->sessionFinished(result);
}

void SocketSession::report(std::string_view text) const {
    log_.report(kind_.objectName, credentials_.applyBounded(text, kMaxSessionLogText));
}

void SocketSession::reportFormatted(const char* format, ...) const {
    std::va_list args;
    va_start(args, format);
    const std::string text = formatBoundedV(format, args);
    va_end(args);
    report(text);
}

void SocketSession::reportWaitFailure(const char* format, int error) const {
    const std::string_view name = kind_.waitObjectName.empty() ? kind_.objectName : kind_.waitObjectName;
    log_.report(name, formatBounded(format, error));
}

void SocketSession::showLine(std::string_view text) const {
    if (progress_) progress_->addLine(text);
}

void SocketSession::showCaption(std::string_view text) const {
    if (progress_) progress_->setCaption(text);
}

void SocketSession::onUnhandledException(const char* text) {
    running_ = false;
    noteConnectionEnd(SessionEnd::Failed, text ? std::string_view(text) : kind_.unknownErrorText);
    report(text ? std::string_view(text) : kind_.unknownErrorText);
}

}  // namespace rvo
