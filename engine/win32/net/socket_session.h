#pragma once
// The common base of the mail sessions: one non-blocking TCP connection to
// the server, worked on the session's own thread. It connects, waits on one
// event in slices, cuts what arrives into lines for the derived session's
// dialogue, and ends on cancel, silence, failure or the peer's close.
//
// A derived session implements start (usually connectToServer), finish
// (ending with endSession), dispatchLine and, for IMAP literals,
// dispatchLiteral. The connection itself, the wait loop and the receive path
// are this class's; they differ between the kinds only as SessionKind says.
//
// The layers, bottom up: the event loop moves bytes between the socket and
// the TLS layer (tls_layer.h: STARTTLS, handshake, certificate check,
// records), which hands plain bytes to the line assembler, which hands lines
// to the dialogue.
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/log/credential_mask.h"
#include "engine/core/log/log_sink.h"
#include "engine/core/net/connection_security.h"
#include "engine/core/net/line_assembler.h"
#include "engine/core/net/session_kind.h"
#include "engine/core/net/session_timings.h"
#include "engine/core/session/ending_record.h"
#include "engine/core/session/progress_throttle.h"
#include "engine/core/session/progress_view.h"
#include "engine/core/session/session_ending.h"
#include "engine/core/session/session_observer.h"
#include "engine/win32/auth/session_sign_in.h"
#include "engine/win32/net/active_object.h"
#include "engine/win32/net/network_event.h"
#include "engine/win32/net/socket.h"
#include "engine/win32/net/tls_layer.h"

namespace rvo {

class SocketSession : public ActiveObject, private LineConsumer, private TlsLayerOwner {
public:
    // `log` and `observer` (may be null) must outlive the session.
    SocketSession(const SessionKind& kind, LogSink& log, SessionObserver* observer,
                  const SessionTimings& timings = {});
    ~SocketSession() override = default;

    // Sets the network event: wakes the wait (stop uses it).
    void signal() override;
    // The event loop; returns when a stop request is seen.
    void run() override;

    // Where progress lines and the caption go; set between startThread() and
    // resume(), cleared by endSession(). May be null. Captions closer together
    // than the timings' caption interval are held back (see ProgressThrottle).
    void attachProgress(ProgressView* view);

    // Signs in with a bearer token instead of the password; before start.
    void useTokenSignIn(TokenSignIn signIn) { tokenSignIn_ = std::move(signIn); }

    // False once the session has ended its dialogue or failed; the library
    // reports this as the run's result.
    bool running() const { return running_.load(); }
    const SessionKind& kind() const { return kind_; }
    const SessionTimings& timings() const { return timings_; }
    // How the session ended and what it did; read only once the worker has
    // ended (waitForEnd), after the observer was told.
    const SessionEnding& ending() const { return ending_; }

protected:
    // The connection procedure: resolve `host`, connect without blocking.
    // Failures clear running() and are logged; the outcome of the connect
    // arrives later through onConnected. A security mode that is not known
    // ends the session here, before anything is connected.
    void connectToServer(const std::string& host, unsigned short port);
    // How the connection is to be protected; set before start. With TLS
    // the dialogue sees nothing before the server's certificate has been
    // verified: connectionOpened and the first line come only then, and
    // sendAll refuses to send before. `protocol` says how STARTTLS is asked.
    void setSecurity(ConnectionSecurity security, UpgradeProtocol protocol) {
        security_ = std::move(security);
        upgradeProtocol_ = protocol;
    }
    bool signsInWithToken() const { return tokenSignIn_.has_value(); }
    // With a token sign-in, before connecting: the SASL sign-in of this
    // connection as `user`, the credentials it sends added to `mask`, which
    // then protects the log. Nullopt when the session must not connect (the
    // reason is logged and the session has ended).
    std::optional<SaslSignIn> prepareTokenSignIn(const std::string& user, const std::string& host, int port,
                                                 CredentialMask mask);
    // The server ended the session because the token expired: the next
    // session of `user` gets a new one.
    void tokenExpired(const std::string& user);

    // Called by the loop with the connect event's error code.
    void onConnected(int errorCode);
    // Called by the loop for a read event: one receive, lines handed over.
    void onReadable();
    // Shuts the connection down in order and closes the socket.
    void closeConnection();

    // Sends every byte (through the encrypted channel when there is one),
    // waiting while the socket's buffer is full. On failure
    // the session ends (running() false), the failure is logged, and false
    // is returned: a lost command byte would put the dialogue out of step.
    bool sendAll(std::string_view bytes);

    // From dispatchLine, for a line ending in "{count}": the next `count`
    // bytes go to dispatchLiteral as they arrive, then lines resume.
    void readLiteral(std::uint64_t count) { assembler_.expectLiteral(count); }

    // One line from the server, with its length; zero bytes are data. Line
    // ends as the kind says: the IMAP kind keeps the CR of a CR LF (the LF is
    // always dropped), the POP3 kind has neither.
    virtual void dispatchLine(std::string_view line) = 0;
    // The next piece of a literal asked for with readLiteral; `last` marks
    // the piece that completes it.
    virtual void dispatchLiteral(std::string_view chunk, bool last);
    // A line longer than the line bound: true when the dialogue reads it in
    // pieces (dispatchLinePiece) instead of the session refusing it.
    virtual bool dispatchLongLine(std::string_view start) {
        (void)start;
        return false;
    }
    virtual void dispatchLinePiece(std::string_view piece, bool last) {
        (void)piece;
        (void)last;
    }
    // After "Connected to the host server" has been shown and logged.
    virtual void connectionOpened() {}
    // The connection could not be made or broke (socket, look-up, connect,
    // receive); `text` is what went wrong, as logged where it is logged.
    virtual void connectionFailed(std::string_view text) { (void)text; }
    // The server closed the connection, after everything it sent before
    // closing was handed over.
    virtual void serverClosed() {}
    // Everything one receive brought has been handed over (a dialogue that
    // holds its commands until then sends them here, in one call).
    virtual void receiveHandled() {}

    // Ends the connection from this side once the dialogue is complete: it
    // is shut down in order and closed, "Connection closed" is logged, and
    // the loop ends without looking at the socket again.
    void closeAfterDialogue();
    // The last act of finish: lets go of the progress view and tells the
    // observer. 0: the dialogue ended normally.
    void endSession(int result);
    void stopRunning() { running_ = false; }
    // Filled by the session on its worker as it learns how it ends.
    SessionEnding& writableEnding() { return ending_; }
    // In finish, before endSession: the ending from what the dialogue saw
    // and what the connection saw (connect errors, drops, stalls, TLS,
    // Cancel), with the texts masked as the log masks them. A dialogue
    // whose conversation was over (`conversationOver`: LOGOUT answered, QUIT
    // sent) ended normally as far as the connection goes: the server's
    // close after it is no drop.
    void settleEnding(int result, const EndingRecord& dialogue, const MigrationTally& tally, bool conversationOver);
    // A cause only the session knows (a port that is no TCP port).
    void noteConnectionEnd(SessionEnd end, std::string_view detail = {});

    // Every line is cut to a bounded length, with the account's password masked.
    void report(std::string_view text) const;
    // The password this session sends, in the forms it sends it; no log line shows it.
    void protectCredentials(CredentialMask mask) { credentials_ = std::move(mask); }
    void reportFormatted(const char* format, ...) const
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // A failed wait or time-out, under the kind's name for those.
    void reportWaitFailure(const char* format, int error) const;
    void showLine(std::string_view text) const;
    void showCaption(std::string_view text) const;
    ProgressView* progress() const { return progress_; }
    LogSink& log() const { return log_; }
    EventSocket& socket() { return socket_; }

    void onUnhandledException(const char* text) override;

private:
    void loop();
    void handleEvents(const WSANETWORKEVENTS& events);
    void onPeerClosed();
    // A receive that gave no bytes: `n` is what it returned.
    void receiveFailed(int n);
    void drainAfterClose();
    // Hands received bytes to the assembler in pieces of pieceBytes_.
    void feedPieces(std::string_view bytes);
    // The same for a drain after close, which takes everything; false once the socket is closed.
    bool drainPieces(std::string_view bytes);
    // One piece to the assembler; a line past the limit ends the session.
    bool feedPiece(std::string_view piece);
    enum class WaitResult { Writable, TimedOut, Stopped, Failed };
    WaitResult waitWritable();
    void connectReportingCodes(const std::string& host, unsigned short port);
    // The host's first IPv4 address; a failed look-up ends the session and is logged.
    std::optional<SocketAddress> resolve(const std::string& host, unsigned short port);
    void closeSteps();
    void onLine(std::string_view line) override;
    // The bytes as sent, without the encrypted channel.
    bool sendRaw(std::string_view bytes);
    // TLS: the CA_FILE roots, before the connection is made.
    bool prepareSecurity(const std::string& host);
    // The STARTTLS answer came in this piece: what follows it is dropped.
    bool switchedToTls(std::size_t bytesLeft);
    // After the server's close_notify: the client's own, then the socket is closed.
    void answerCloseNotify();
    // The TLS layer's owner.
    bool sendBytes(std::string_view bytes) override { return sendRaw(bytes); }
    void dropConnection(const std::string& text) override;
    bool channelOpened(const std::string* greeting) override;
    void serverNotifiedClose() override { onPeerClosed(); }
    void reportLine(std::string_view text) override { report(text); }
    void onLiteral(std::string_view chunk, bool last) override { dispatchLiteral(chunk, last); }
    bool acceptsLongLine(std::string_view start) override { return dispatchLongLine(start); }
    void onLinePiece(std::string_view piece, bool last) override { dispatchLinePiece(piece, last); }

    SessionKind kind_;
    LogSink& log_;
    SessionObserver* observer_;
    SessionTimings timings_;
    ProgressView* progress_ = nullptr;
    std::optional<ProgressThrottle> throttle_;
    EventSocket socket_{SOCK_STREAM};
    NetworkEvent event_;
    std::atomic<bool> running_{true};
    SilenceCounter silence_;
    bool peerClosed_ = false;
    // The events of the loop's current pass include the server's close.
    bool closeInPass_ = false;
    bool closedHere_ = false;
    // The server's close was seen (close_notify or TCP) and logged.
    bool closeSeen_ = false;
    LineAssembler assembler_;
    std::size_t pieceBytes_;
    std::vector<char> receiveBuffer_;
    // Received bytes the loop would have left in the socket (see feedPieces).
    std::string_view unfed_;
    CredentialMask credentials_;
    ConnectionSecurity security_;
    std::optional<TokenSignIn> tokenSignIn_;
    UpgradeProtocol upgradeProtocol_ = UpgradeProtocol::Imap;
    // Between the socket and the assembler; its plain bytes of the last
    // receive may be viewed by unfed_.
    TlsLayer tls_{*this};
    SessionEnding ending_;
    // What the connection learned of how the session ends.
    EndingRecord connectionEnding_;
    // stop() was asked from another thread: the owner cancels.
    std::atomic<bool> cancelAsked_{false};
    bool connected_ = false;
};

}  // namespace rvo
