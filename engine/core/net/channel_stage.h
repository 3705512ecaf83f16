#pragma once
// Where a protected connection stands, and what each stage means for the
// bytes and lines that pass it. The session's TLS layer (engine/win32/net/
// tls_layer) keeps the stage; what follows from it is decided here so that
// it is tested without a socket or the system's TLS.
//
// Plain connections stay Plain. TLS from the first byte starts at
// Handshaking; STARTTLS starts at Upgrading (clear-text lines go to the
// upgrade steps), passes Switching (the server agreed: what it sent after
// its answer is discarded) and then Handshaking. Secure is the only stage
// in which the dialogue sees lines or may send; Ended is after a refusal,
// a failure or the close.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/net/connection_security.h"
#include "engine/core/net/tls_text.h"

namespace rvo {

enum class ChannelStage { Plain, Upgrading, Switching, Handshaking, Secure, Ended };

// The stage once the TCP connection is made.
ChannelStage stageAfterConnect(Security mode);

// Where a line of the line assembler goes at a stage.
enum class LineRoute {
    Dialogue,  // the dialogue's
    Upgrade,   // the STARTTLS steps'
    Discard,   // after the server agreed to TLS: anyone on the way may have put it there; counted, dropped
    Ignore,    // nothing reads lines now (the handshake runs, or the connection has ended)
};
LineRoute routeLine(ChannelStage stage);

// What the negotiated channel is worth, before any credential is sent.
// Anything but Accept ends the account; the default is a refusal.
enum class ChannelVerdict { Refused, OldVersion, Untrusted, Accept };
// Some systems (Wine) do not hold to the versions asked for: the version
// negotiated is judged first, then the certificate.
ChannelVerdict judgeChannel(TlsVersion version, bool certificateTrusted);

// The log lines of the TLS layer, each a whole sentence.
std::string handshakeStartFailedText(std::string_view why);
std::string handshakeFailedText(std::string_view why);
std::string handshakeCutText();
std::string oldVersionText(TlsVersion version);
std::string untrustedText(std::string_view why);
std::string renegotiatedUntrustedText(std::string_view why);
std::string channelBrokeText(std::string_view why);
std::string encryptionFailedText(std::string_view why);
// Empty when nothing was discarded.
std::string discardedAfterUpgradeText(std::uint64_t bytes);

}  // namespace rvo
