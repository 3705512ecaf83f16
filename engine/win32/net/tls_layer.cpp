#include "engine/win32/net/tls_layer.h"

namespace rvo {

bool TlsLayer::prepare(const std::string& host, const std::string& caFile, std::string& error) {
    host_ = host;
    roots_ = std::make_unique<TrustedRoots>();
    return caFile.empty() || roots_->load(caFile, error);
}

void TlsLayer::connected(Security mode, UpgradeProtocol protocol) {
    stage_ = stageAfterConnect(mode);
    if (stage_ == ChannelStage::Upgrading) upgrade_.emplace(protocol);
    if (stage_ == ChannelStage::Handshaking) beginHandshake();
}

void TlsLayer::upgradeLine(std::string_view line) {
    switch (upgrade_->onLine(line)) {
        case TlsUpgrade::Step::Wait:
            return;
        case TlsUpgrade::Step::Send: {
            const std::string command = upgrade_->command();
            owner_.reportLine(std::string_view(command).substr(0, command.size() - 2));
            owner_.sendBytes(command);
            return;
        }
        case TlsUpgrade::Step::Begin:
            stage_ = ChannelStage::Switching;
            return;
        case TlsUpgrade::Step::Refused:
            drop(upgrade_->why());
            return;
    }
}

void TlsLayer::beginHandshake() {
    if (const std::string text = discardedAfterUpgradeText(discarded_); !text.empty()) owner_.reportLine(text);
    channel_ = std::make_unique<TlsChannel>(host_);
    stage_ = ChannelStage::Handshaking;
    std::string out;
    if (channel_->begin(out) == TlsChannel::Result::Failed) {
        drop(handshakeStartFailedText(channel_->why()));
        return;
    }
    owner_.sendBytes(out);
}

bool TlsLayer::receive(std::string_view received, std::string_view& plain) {
    plain = {};
    plain_.clear();
    if (stage_ == ChannelStage::Handshaking) {
        if (!handshake(received)) return false;
        // What came after the last handshake message waits in the channel.
        received = {};
    }
    if (stage_ != ChannelStage::Secure) return true;
    // Nothing after the server's close_notify is its data.
    if (notified_) return true;
    std::string out;
    const TlsChannel::Result result = channel_->read(received, plain_, out);
    if (!out.empty() && !owner_.sendBytes(out)) return false;
    if (result == TlsChannel::Result::Failed) {
        // What came before the failure is authentic but its end is not:
        // nothing of it reaches the dialogue.
        drop(channelBrokeText(channel_->why()));
        return false;
    }
    if (std::string why; channel_->takeRenegotiated() && !certificateTrusted(why)) {
        drop(renegotiatedUntrustedText(why), SessionEnd::CertificateRefused);
        return false;
    }
    if (result == TlsChannel::Result::Closed) {
        // close_notify: the server sends nothing more, as if it had closed.
        // It may wait for the client's close_notify before it closes TCP:
        // that answer follows once this pass has handed everything over,
        // the data of this very receive first.
        notified_ = true;
        owner_.serverNotifiedClose();
    }
    plain = plain_;
    return true;
}

bool TlsLayer::handshake(std::string_view received) {
    std::string out;
    const TlsChannel::Result result = channel_->handshake(received, out);
    // An alert that comes with a failure is sent too: the server learns why.
    if (!out.empty() && !owner_.sendBytes(out)) return false;
    if (result == TlsChannel::Result::Failed) {
        drop(handshakeFailedText(channel_->why()));
        return false;
    }
    return result != TlsChannel::Result::Done || checkChannel();
}

bool TlsLayer::checkChannel() {
    const TlsVersion version = channel_->version();
    std::string why;
    // The certificate is looked at only once the version is acceptable.
    const bool trusted = tlsVersionAcceptable(version) && certificateTrusted(why);
    switch (judgeChannel(version, trusted)) {
        case ChannelVerdict::Accept:
            break;
        case ChannelVerdict::OldVersion:
            sendCloseNotify();
            drop(oldVersionText(version));
            return false;
        case ChannelVerdict::Untrusted:
        case ChannelVerdict::Refused:
            sendCloseNotify();
            drop(untrustedText(why), SessionEnd::CertificateRefused);
            return false;
    }
    owner_.reportLine("Encrypted connection: " + channel_->description());
    stage_ = ChannelStage::Secure;
    // After STARTTLS the dialogue begins with the greeting the server sent
    // before, without anything in it that only encryption makes trustworthy.
    return owner_.channelOpened(upgrade_ ? &upgrade_->greeting() : nullptr);
}

bool TlsLayer::certificateTrusted(std::string& why) {
    const CertificateContext certificate = channel_->serverCertificate();
    why = certificate ? verifyServerCertificate(certificate.get(), host_, *roots_) : "the server sent no certificate";
    return why.empty();
}

void TlsLayer::sendCloseNotify() {
    const std::string notify = channel_->close();
    if (!notify.empty()) owner_.sendBytes(notify);
}

bool TlsLayer::seal(std::string_view plain, std::string& records) {
    if (channel_->write(plain, records)) return true;
    drop(encryptionFailedText(channel_->why()));
    return false;
}

std::string TlsLayer::closing() {
    std::string notify;
    if (channel_ && stage_ == ChannelStage::Secure) notify = channel_->close();
    if (stage_ != ChannelStage::Plain) stage_ = ChannelStage::Ended;
    return notify;
}

std::string TlsLayer::answerCloseNotify() {
    stage_ = ChannelStage::Ended;
    // Where the system cannot make a close_notify, the close of the
    // connection is the answer the server gets.
    return channel_ ? channel_->close() : std::string();
}

void TlsLayer::noteHandshakeCut() {
    if (stage_ == ChannelStage::Handshaking) drop(handshakeCutText(), SessionEnd::ConnectionDropped);
}

void TlsLayer::noteCutRecord() {
    if (channel_ && stage_ == ChannelStage::Secure && channel_->waitingBytes() > 0)
        owner_.reportLine("The server closed the connection in the middle of a TLS record; the record is dropped");
}

void TlsLayer::drop(const std::string& text, SessionEnd end) {
    stage_ = ChannelStage::Ended;
    dropEnd_ = end;
    owner_.dropConnection(text);
}

}  // namespace rvo
