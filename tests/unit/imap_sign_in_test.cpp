// Signing in to IMAP with a bearer token: the capabilities (from the
// greeting or asked), AUTHENTICATE with and without SASL-IR, the server's
// failure challenge and its one log line, a server without the mechanism,
// and a session the server ends because the token expired. Every
// transcript is fed split at each byte offset and byte by byte.
#include "engine/core/imap/imap_capabilities.h"
#include "tests/unit/imap_transcripts.h"

namespace rvo {
namespace {

using namespace rvo::test;

// "user=alice@example.com^Aauth=Bearer ya29.secret-token^A^A" and its OAUTHBEARER form.
const std::string kXoauth2 = "dXNlcj1hbGljZUBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnNlY3JldC10b2tlbgEB";
const std::string kOauthBearer = "bixhPWFsaWNlQGV4YW1wbGUuY29tLAFhdXRoPUJlYXJlciB5YTI5LnNlY3JldC10b2tlbgEB";
// {"status":"401","schemes":"bearer","scope":"mail"}
const std::string kChallenge401 = "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=";

const std::string kGreetingWithXoauth2 =
    "* OK [CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ AUTH=PLAIN AUTH=XOAUTH2 "
    "AUTH=OAUTHBEARER] Dovecot ready.\r\n";
const std::string kSignedIn = "A000 OK [CAPABILITY IMAP4rev1 SASL-IR SORT THREAD=REFERENCES] Logged in\r\n";
const std::string kRefused = "A000 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n";

ImapDialogueValues signInValues(const std::string& mechanism = "XOAUTH2") {
    ImapDialogueValues v = defaultValues();
    v.account.password = "No Password";
    if (mechanism == "XOAUTH2") {
        v.signIn = SaslSignIn{"XOAUTH2", kXoauth2, ""};
    } else {
        v.signIn = SaslSignIn{"OAUTHBEARER", kOauthBearer, "AQ=="};
    }
    return v;
}

// One folder, both passes, every message fetched, after `opening` (greeting and sign-in).
std::string migrationAfter(const std::string& opening, const std::string& numbers, const std::string& transfer) {
    std::string whole = oneFolder(kInbox, numbers, transfer);
    return opening + whole.substr(kGreeting.size() + kLoginOk.size());
}

const std::string kTwoMessages = internalDate("1", "17-Jul-1996 02:44:25 -0700") + body("1", kMessage1) +
                                 internalDate("2", "08-Mar-2006 09:15:42 +0100") + body("2", kMessage2);

void expectNoSecretLogged(const Outcome& out) {
    for (const std::string& line : out.logged) {
        EXPECT_EQ(line.find("ya29"), std::string::npos) << line;
        EXPECT_EQ(line.find(kXoauth2), std::string::npos) << line;
        EXPECT_EQ(line.find(kOauthBearer), std::string::npos) << line;
    }
}

struct Played {
    Outcome out;
    std::string summary;
    bool tokenExpired = false;
};

// The outcome at every split, and what the dialogue says once it is fed whole.
Played playSignIn(const std::string& server, const ImapDialogueValues& values, const StoreState& stored = {}) {
    Played played{playEverySplit(server, values, stored), {}, false};
    FakeStore store;
    store.state = stored;
    Harness harness(values, store);
    harness.feed(server);
    played.summary = harness.dialogue().summary();
    played.tokenExpired = harness.dialogue().tokenExpired();
    return played;
}

TEST(ImapCapabilities, AreReadFromTheGreetingCodeOrTheUntaggedAnswerWithinTheirLimits) {
    ImapCapabilities caps;
    EXPECT_FALSE(caps.readResponseCode("* OK [ALERT] CAPABILITY AUTH=XOAUTH2"));
    EXPECT_FALSE(caps.readResponseCode("* OK [CAPABILITYX AUTH=XOAUTH2] ready"));
    EXPECT_FALSE(caps.readResponseCode("* OK [CAPABILITY AUTH=XOAUTH2 ready"));
    EXPECT_FALSE(caps.readUntagged("* CAPABILITYAUTH=XOAUTH2"));
    EXPECT_FALSE(caps.known());

    EXPECT_TRUE(caps.readResponseCode("* ok [capability imap4rev1 sasl-ir auth=xoauth2] ready"));
    EXPECT_TRUE(caps.known());
    EXPECT_TRUE(caps.has("SASL-IR"));
    EXPECT_TRUE(caps.offersMechanism("XOAUTH2"));
    EXPECT_FALSE(caps.offersMechanism("OAUTHBEARER"));
    EXPECT_FALSE(caps.offersMechanism(""));

    // A later list replaces the earlier one.
    EXPECT_TRUE(caps.readUntagged("* CAPABILITY IMAP4rev1  AUTH=OAUTHBEARER\r"));
    EXPECT_FALSE(caps.has("SASL-IR"));
    EXPECT_TRUE(caps.offersMechanism("OAUTHBEARER"));

    ImapCapabilities bounded(ImapCapabilityLimits{.maxWords = 2, .maxWordBytes = 12});
    EXPECT_TRUE(bounded.readUntagged("* CAPABILITY IMAP4rev1 X-A-VERY-LONG-WORD SASL-IR AUTH=XOAUTH2"));
    EXPECT_EQ(bounded.words(), (Strings{"IMAP4REV1", "SASL-IR"}));
    EXPECT_EQ(bounded.dropped(), 2u);
}

TEST(ImapSignIn, WithSaslIrTheInitialResponseGoesOnTheCommandLineAndTheWalkFollowsAsAfterLogin) {
    for (const std::string mechanism : {"XOAUTH2", "OAUTHBEARER"}) {
        const ImapDialogueValues values = signInValues(mechanism);
        const Played p = playSignIn(migrationAfter(kGreetingWithXoauth2 + kSignedIn, "1 2", kTwoMessages), values);
        const std::string command = "A000 AUTHENTICATE " + mechanism;
        ASSERT_GE(p.out.sent.size(), 2u);
        EXPECT_EQ(p.out.sent[0], command + " " + values.signIn->initialResponse);
        EXPECT_EQ(p.out.sent[1], "A001 LIST \"\" \"*\"");
        EXPECT_EQ(p.out.sent.back(), "A006 LOGOUT");
        EXPECT_EQ(p.out.files.size(), 2u);
        EXPECT_EQ(p.out.result, 0);
        ASSERT_GE(p.out.logged.size(), 2u);
        EXPECT_EQ(p.out.logged[1], command + " **********");
        const Strings firstShown(p.out.shown.begin(), p.out.shown.begin() + 4);
        EXPECT_EQ(firstShown, (Strings{"Connected", "Sending Login information", "Login succeeded",
                                       "Please wait while we get total number of emails to download"}));
        expectNoSecretLogged(p.out);
        EXPECT_FALSE(p.tokenExpired);
    }
}

TEST(ImapSignIn, WithoutSaslIrTheInitialResponseAnswersTheServersContinuation) {
    const std::string greeting = "* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] ready.\r\n";
    const Played p = playSignIn(migrationAfter(greeting + "+ \r\n" + kSignedIn, "1 2", kTwoMessages), signInValues());
    ASSERT_GE(p.out.sent.size(), 3u);
    EXPECT_EQ(p.out.sent[0], "A000 AUTHENTICATE XOAUTH2");
    EXPECT_EQ(p.out.sent[1], kXoauth2);
    EXPECT_EQ(p.out.sent[2], "A001 LIST \"\" \"*\"");
    EXPECT_EQ(p.out.logged[1], "A000 AUTHENTICATE XOAUTH2");
    EXPECT_EQ(p.out.result, 0);
    expectNoSecretLogged(p.out);
}

TEST(ImapSignIn, CapabilitiesAreAskedWhenTheGreetingListsNone) {
    const std::string greeting = "* OK Dovecot ready.\r\n";
    const std::string answer = "* CAPABILITY imap4rev1 sasl-ir auth=xoauth2\r\nC000 OK Pre-login capabilities listed.\r\n";
    const Played p = playSignIn(migrationAfter(greeting + answer + kSignedIn, "1 2", kTwoMessages), signInValues());
    ASSERT_GE(p.out.sent.size(), 2u);
    EXPECT_EQ(p.out.sent[0], "C000 CAPABILITY");
    EXPECT_EQ(p.out.sent[1], "A000 AUTHENTICATE XOAUTH2 " + kXoauth2);
    EXPECT_EQ(p.out.logged[1], "C000 CAPABILITY");
    EXPECT_EQ(p.out.result, 0);

    // A refused CAPABILITY: nothing is signed in.
    const Played refused = playSignIn(greeting + "C000 BAD no\r\n" + kLogoutOk, signInValues());
    EXPECT_EQ(refused.out.sent, (Strings{"C000 CAPABILITY", "A006 LOGOUT"}));
    EXPECT_EQ(refused.out.result, 1);
    EXPECT_NE(refused.summary.find("the server did not list its capabilities"), std::string::npos) << refused.summary;
}

TEST(ImapSignIn, AServerWithoutTheMechanismIsLeftForTheNextRunWithOneLine) {
    const std::string greeting = "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=XOAUTH2X] ready.\r\n";
    const Played p = playSignIn(greeting + kLogoutOk, signInValues());
    EXPECT_EQ(p.out.sent, Strings{"A006 LOGOUT"});
    EXPECT_EQ(p.out.logged[1], "The server does not offer the sign-in mechanism XOAUTH2 (AUTH=XOAUTH2 is not among "
                               "its capabilities); the account is not signed in");
    EXPECT_EQ(p.out.result, 1);
    EXPECT_NE(p.summary.find("the server does not offer the sign-in mechanism"), std::string::npos) << p.summary;
}

TEST(ImapSignIn, ARefusedTokenIsAnsweredPerMechanismAndLoggedOnceWithItsStatus) {
    const std::string refusal = kRefused.substr(0, kRefused.size() - 2);
    const std::string line = "The server refused the OAuth 2.0 token (status 401): " + refusal;
    for (const std::string mechanism : {"XOAUTH2", "OAUTHBEARER"}) {
        const ImapDialogueValues values = signInValues(mechanism);
        const std::string reply = values.signIn->failureReply;
        const std::string challenge = "+ " + kChallenge401 + "\r\n";

        // With SASL-IR, and with the initial response after a "+".
        Played p = playSignIn(kGreetingWithXoauth2 + challenge + kRefused + kLogoutOk, values);
        EXPECT_EQ(p.out.sent, (Strings{"A000 AUTHENTICATE " + mechanism + " " + values.signIn->initialResponse, reply,
                                       "A006 LOGOUT"}));
        const std::string noIr = "* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2 AUTH=OAUTHBEARER] ready.\r\n";
        Played q = playSignIn(noIr + "+\r\n" + challenge + kRefused + kLogoutOk, values);
        EXPECT_EQ(q.out.sent, (Strings{"A000 AUTHENTICATE " + mechanism, values.signIn->initialResponse, reply,
                                       "A006 LOGOUT"}));
        for (const Played* r : {&p, &q}) {
            EXPECT_EQ(std::count(r->out.logged.begin(), r->out.logged.end(), line), 1) << mechanism;
            for (const std::string& logged : r->out.logged) EXPECT_NE(logged, refusal) << "the refusal is logged once";
            expectNoSecretLogged(r->out);
            EXPECT_EQ(r->out.result, 1);
            EXPECT_EQ(r->out.pauses, 1);  // LOGOUT acknowledged
            EXPECT_NE(r->summary.find("the server refused the login"), std::string::npos) << r->summary;
        }
    }

    // A challenge without a status still gives one line; a NO without a
    // challenge is logged as a refused LOGIN is.
    Played noStatus = playSignIn(kGreetingWithXoauth2 + "+ e30=\r\n" + kRefused + kLogoutOk, signInValues());
    EXPECT_EQ(std::count(noStatus.out.logged.begin(), noStatus.out.logged.end(),
                         "The server refused the OAuth 2.0 token: " + refusal),
              1);
    Played plain = playSignIn(kGreetingWithXoauth2 + kRefused + kLogoutOk, signInValues());
    EXPECT_EQ(plain.out.sent, (Strings{"A000 AUTHENTICATE XOAUTH2 " + kXoauth2, "A006 LOGOUT"}));
    EXPECT_EQ(std::count(plain.out.logged.begin(), plain.out.logged.end(), refusal), 1);

    // A second challenge has no answer in these mechanisms: the exchange is cancelled.
    Played twice = playSignIn(kGreetingWithXoauth2 + "+ " + kChallenge401 + "\r\n+ e30=\r\n" +
                                  "A000 BAD Authentication cancelled\r\n" + kLogoutOk,
                              signInValues());
    EXPECT_EQ(twice.out.sent, (Strings{"A000 AUTHENTICATE XOAUTH2 " + kXoauth2, "", "*", "A006 LOGOUT"}));
    EXPECT_EQ(twice.out.result, 1);
}

TEST(ImapSignIn, ASignInThatCannotBeSentIsNotSent) {
    ImapDialogueValues values = signInValues();
    values.signIn->initialResponse = "abc\r\nA001 DELETE INBOX";
    const Played p = playSignIn(kGreetingWithXoauth2 + kLogoutOk, values);
    EXPECT_EQ(p.out.sent, Strings{"A006 LOGOUT"});
    for (const std::string& line : p.out.logged) EXPECT_EQ(line.find("DELETE"), std::string::npos);
    EXPECT_EQ(p.out.result, 1);
}

TEST(ImapSignIn, AnExpiredTokenEndsTheSessionMidFolderAndTheNextRunStoresTheRestOnce) {
    const std::string bye = "* BYE Session invalidated - AccessTokenExpired\r\n";
    const std::string date1 = internalDate("1", "17-Jul-1996 02:44:25 -0700");
    const std::string rest = internalDate("2", "08-Mar-2006 09:15:42 +0100") + body("2", kMessage2) +
                             internalDate("3", "09-Mar-2006 09:15:42 +0100") + body("3", kMessage1 + "third\r\n");
    const std::string threeMessages = date1 + body("1", kMessage1) + rest;
    const std::string whole = migrationAfter(kGreetingWithXoauth2 + kSignedIn, "1 2 3", threeMessages);
    // The server leaves after the first body and the second date.
    const std::string cut = whole.substr(0, whole.find(body("2", kMessage2))) + bye;
    const Played first = playSignIn(cut, signInValues());
    EXPECT_TRUE(first.tokenExpired);
    EXPECT_EQ(first.out.result, 1);
    EXPECT_EQ(first.out.files.size(), 1u);
    EXPECT_EQ(first.out.logged.back(), bye.substr(0, bye.size() - 2));
    EXPECT_NE(first.summary.find("the server ended the session because its access token expired"), std::string::npos)
        << first.summary;

    // Signed in again: what was stored is recognised, the rest stored once.
    const Played again = playSignIn(migrationAfter(kGreetingWithXoauth2 + kSignedIn, "1 2 3", date1 + rest),
                                    signInValues(), first.out.state);
    EXPECT_FALSE(again.tokenExpired);
    EXPECT_EQ(again.out.result, 0);
    ASSERT_EQ(again.out.files.size(), 3u);
    EXPECT_EQ(again.out.bodyFetches(), 2);
    std::set<int> counters;
    for (const StoredFile& f : again.out.files) counters.insert(f.counter);
    EXPECT_EQ(counters.size(), 3u);

    // Another BYE, or the same words after a password login, is no expiry.
    const Played other = playSignIn(whole.substr(0, whole.find(body("2", kMessage2))) + "* BYE Server shutting down\r\n",
                                    signInValues());
    EXPECT_FALSE(other.tokenExpired);
    const std::string withLogin = oneFolder(kInbox, "1 2 3", threeMessages);
    const Played login = playSignIn(withLogin.substr(0, withLogin.find(body("2", kMessage2))) + bye, defaultValues());
    EXPECT_FALSE(login.tokenExpired);
    EXPECT_EQ(login.summary.find("access token"), std::string::npos);
}

TEST(ImapSignIn, TheSourceUserSignsInWhileTheStoreKeepsTheAccountName) {
    ImapDialogueValues values = defaultValues();
    values.account.sourceUser = "alice@example.com";
    const Outcome out = playEverySplit(oneFolder(kInbox, "1 2", kTwoMessages), values);
    ASSERT_FALSE(out.sent.empty());
    EXPECT_EQ(out.sent[0], "A000 LOGIN alice@example.com secret");
    EXPECT_EQ(out.logged[1], "A000 LOGIN alice@example.com **********");
    EXPECT_EQ(ImapOpening::loginMask(values.account.loginName(), values.account.password).apply(out.sent[0]),
              "A000 LOGIN alice@example.com **********");
    EXPECT_EQ(out.result, 0);
}

}  // namespace
}  // namespace rvo
