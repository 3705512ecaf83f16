#pragma once
// TLS as a byte layer between the socket and the line assembler: what the
// socket received goes in, plain bytes come out; what the dialogue sends
// goes in plain and comes out as records. Above it the line assembler only
// ever sees plain bytes, below it the event loop only moves bytes.
//
// The layer keeps the connection's stage (channel_stage.h) and holds the
// three steps of a protected connection as small pieces: the STARTTLS
// lines (TlsUpgrade), the handshake, and the check of the negotiated
// channel and the server's certificate. It does no I/O of its own: bytes
// to send and the ends of the connection go to its owner.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/core/net/channel_stage.h"
#include "engine/core/net/connection_security.h"
#include "engine/core/net/tls_upgrade.h"
#include "engine/core/session/session_end.h"
#include "engine/win32/net/server_certificate.h"
#include "engine/win32/net/tls_channel.h"

namespace rvo {

class TlsLayerOwner {
public:
    virtual ~TlsLayerOwner() = default;
    // Bytes for the socket as they are; false when the connection is lost.
    virtual bool sendBytes(std::string_view bytes) = 0;
    // The account ends: `text` is logged and is the failure's text.
    virtual void dropConnection(const std::string& text) = 0;
    // The channel is up and checked; `greeting` is the clear-text greeting
    // a STARTTLS connection begins the dialogue with (else null). False
    // once the dialogue has ended.
    virtual bool channelOpened(const std::string* greeting) = 0;
    // The server's close_notify: it sends nothing more.
    virtual void serverNotifiedClose() = 0;
    virtual void reportLine(std::string_view text) = 0;
};

class TlsLayer {
public:
    explicit TlsLayer(TlsLayerOwner& owner) : owner_(owner) {}

    // Before connecting: the name the server is asked for and checked
    // against, and the further roots of `caFile` (none when empty). False
    // with `error` set when the file cannot be used.
    bool prepare(const std::string& host, const std::string& caFile, std::string& error);

    // The TCP connection is made: the stage for `mode`; TLS from the first
    // byte starts its handshake here.
    void connected(Security mode, UpgradeProtocol protocol);

    ChannelStage stage() const { return stage_; }
    // Received bytes pass through the channel (from the handshake on).
    bool active() const { return channel_ != nullptr; }
    bool secure() const { return stage_ == ChannelStage::Secure; }

    // STARTTLS: one clear-text line of the upgrade steps.
    void upgradeLine(std::string_view line);
    // Bytes that came after the server's agreement, dropped unread.
    void discard(std::size_t bytes) { discarded_ += bytes; }
    // After the server agreed: true when the handshake is to begin now,
    // after the line that said so (what follows it is discarded by the caller).
    bool switching() const { return stage_ == ChannelStage::Switching; }
    void beginHandshake();

    // Received bytes: `plain` views the data of every complete record
    // (empty while the handshake runs or a record is incomplete); it stays
    // valid until the next call. False once the connection is dropped.
    bool receive(std::string_view received, std::string_view& plain);
    // The dialogue's bytes as records; false (the connection dropped) when
    // they cannot be made.
    bool seal(std::string_view plain, std::string& records);

    // The connection is closed from this side: the close_notify to send
    // (when the channel is up), and the stage ends.
    std::string closing();
    // The server's close_notify came in the last pass: answer it once.
    bool takeCloseNotify() { return std::exchange(notified_, false); }
    // The answer to the server's close_notify, where the system makes one; the stage ends.
    std::string answerCloseNotify();
    // The server closed TCP: a handshake it cut short ends the account; a
    // record it cut short is said in the log.
    void noteHandshakeCut();
    void noteCutRecord();
    // The account ended for another reason: nothing passes any more.
    void end() { stage_ = ChannelStage::Ended; }
    // How the session ends when the layer dropped the connection: a
    // certificate that did not verify is refused, a handshake the server
    // cut short is a dropped connection, anything else failed.
    SessionEnd dropEnd() const { return dropEnd_; }

private:
    bool handshake(std::string_view received);
    bool checkChannel();
    bool certificateTrusted(std::string& why);
    void drop(const std::string& text, SessionEnd end = SessionEnd::Failed);
    void sendCloseNotify();

    TlsLayerOwner& owner_;
    ChannelStage stage_ = ChannelStage::Plain;
    SessionEnd dropEnd_ = SessionEnd::Failed;
    std::string host_;
    std::unique_ptr<TrustedRoots> roots_;
    std::optional<TlsUpgrade> upgrade_;
    std::unique_ptr<TlsChannel> channel_;
    std::string plain_;
    std::size_t discarded_ = 0;
    bool notified_ = false;
};

}  // namespace rvo
