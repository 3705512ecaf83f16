#include "engine/core/net/channel_stage.h"

namespace rvo {

namespace {
constexpr std::string_view kNothingSent = "; no credential was sent, the account is not migrated";
}  // namespace

ChannelStage stageAfterConnect(Security mode) {
    switch (mode) {
        case Security::Tls:
            return ChannelStage::Handshaking;
        case Security::StartTls:
            return ChannelStage::Upgrading;
        case Security::None:
            return ChannelStage::Plain;
        case Security::Unknown:
            break;
    }
    // A mode that is not known never connects; should it, nothing passes.
    return ChannelStage::Ended;
}

LineRoute routeLine(ChannelStage stage) {
    switch (stage) {
        case ChannelStage::Plain:
        case ChannelStage::Secure:
            return LineRoute::Dialogue;
        case ChannelStage::Upgrading:
            return LineRoute::Upgrade;
        case ChannelStage::Switching:
            return LineRoute::Discard;
        case ChannelStage::Handshaking:
        case ChannelStage::Ended:
            break;
    }
    return LineRoute::Ignore;
}

ChannelVerdict judgeChannel(TlsVersion version, bool certificateTrusted) {
    if (!tlsVersionAcceptable(version)) return ChannelVerdict::OldVersion;
    if (!certificateTrusted) return ChannelVerdict::Untrusted;
    return ChannelVerdict::Accept;
}

std::string handshakeStartFailedText(std::string_view why) {
    return "TLS could not be started: " + std::string(why) + "; the account is not migrated";
}

std::string handshakeFailedText(std::string_view why) {
    return "The TLS handshake with the server failed: " + std::string(why) + std::string(kNothingSent);
}

std::string handshakeCutText() {
    return handshakeFailedText(
        "the server closed the connection before the handshake was complete (it may offer no protocol version or "
        "cipher this system can use)");
}

std::string oldVersionText(TlsVersion version) {
    return "The server negotiated " + std::string(tlsVersionName(version)) +
           "; only TLS 1.2 and later are accepted: no credential was sent, the account is not migrated";
}

std::string untrustedText(std::string_view why) {
    return "The server's certificate is not trusted: " + std::string(why) + std::string(kNothingSent);
}

std::string renegotiatedUntrustedText(std::string_view why) {
    return "After renegotiating, the server's certificate is not trusted: " + std::string(why);
}

std::string channelBrokeText(std::string_view why) { return "The encrypted connection broke: " + std::string(why); }

std::string encryptionFailedText(std::string_view why) {
    return "The encrypted connection failed: " + std::string(why);
}

std::string discardedAfterUpgradeText(std::uint64_t bytes) {
    if (bytes == 0) return {};
    return std::to_string(bytes) + " bytes the server sent after agreeing to TLS were discarded";
}

}  // namespace rvo
