#include <gtest/gtest.h>

#include <string>

#include "engine/core/net/channel_stage.h"

namespace rvo {
namespace {

TEST(ChannelStage, OnlyThePlainAndTheSecureStageReachTheDialogue) {
    EXPECT_EQ(stageAfterConnect(Security::None), ChannelStage::Plain);
    EXPECT_EQ(stageAfterConnect(Security::Tls), ChannelStage::Handshaking);
    EXPECT_EQ(stageAfterConnect(Security::StartTls), ChannelStage::Upgrading);
    // A mode that is not known lets nothing through, should it ever connect.
    EXPECT_EQ(stageAfterConnect(Security::Unknown), ChannelStage::Ended);

    EXPECT_EQ(routeLine(ChannelStage::Plain), LineRoute::Dialogue);
    EXPECT_EQ(routeLine(ChannelStage::Secure), LineRoute::Dialogue);
    EXPECT_EQ(routeLine(ChannelStage::Upgrading), LineRoute::Upgrade);
    // Clear text after the server agreed to TLS could come from anyone on the way.
    EXPECT_EQ(routeLine(ChannelStage::Switching), LineRoute::Discard);
    EXPECT_EQ(routeLine(ChannelStage::Handshaking), LineRoute::Ignore);
    EXPECT_EQ(routeLine(ChannelStage::Ended), LineRoute::Ignore);
}

TEST(ChannelStage, TheVersionIsJudgedBeforeTheCertificateAndNothingElseAccepts) {
    EXPECT_EQ(judgeChannel(TlsVersion::Tls12, true), ChannelVerdict::Accept);
    EXPECT_EQ(judgeChannel(TlsVersion::Tls13, true), ChannelVerdict::Accept);
    EXPECT_EQ(judgeChannel(TlsVersion::Tls13, false), ChannelVerdict::Untrusted);
    // A system that ignored the versions asked for: refused even with a trusted certificate.
    EXPECT_EQ(judgeChannel(TlsVersion::Tls11, true), ChannelVerdict::OldVersion);
    EXPECT_EQ(judgeChannel(TlsVersion::Tls10, false), ChannelVerdict::OldVersion);
    EXPECT_EQ(judgeChannel(TlsVersion::Ssl3, true), ChannelVerdict::OldVersion);
    EXPECT_EQ(judgeChannel(TlsVersion::Unknown, true), ChannelVerdict::OldVersion);
    EXPECT_EQ(ChannelVerdict{}, ChannelVerdict::Refused);
}

TEST(ChannelStage, LogLinesSayThatNoCredentialWasSent) {
    EXPECT_EQ(handshakeFailedText("the server sent an alert"),
              "The TLS handshake with the server failed: the server sent an alert; no credential was sent, the "
              "account is not migrated");
    EXPECT_EQ(handshakeCutText(),
              "The TLS handshake with the server failed: the server closed the connection before the handshake was "
              "complete (it may offer no protocol version or cipher this system can use); no credential was sent, "
              "the account is not migrated");
    EXPECT_EQ(oldVersionText(TlsVersion::Tls10),
              "The server negotiated TLS 1.0; only TLS 1.2 and later are accepted: no credential was sent, the "
              "account is not migrated");
    EXPECT_EQ(untrustedText("it has expired"),
              "The server's certificate is not trusted: it has expired; no credential was sent, the account is not "
              "migrated");
    EXPECT_EQ(handshakeStartFailedText("no credentials"),
              "TLS could not be started: no credentials; the account is not migrated");
    EXPECT_EQ(renegotiatedUntrustedText("wrong name"),
              "After renegotiating, the server's certificate is not trusted: wrong name");
    EXPECT_EQ(channelBrokeText("bad record"), "The encrypted connection broke: bad record");
    EXPECT_EQ(encryptionFailedText("no context"), "The encrypted connection failed: no context");
    EXPECT_EQ(discardedAfterUpgradeText(0), "");
    EXPECT_EQ(discardedAfterUpgradeText(17), "17 bytes the server sent after agreeing to TLS were discarded");
}

}  // namespace
}  // namespace rvo
