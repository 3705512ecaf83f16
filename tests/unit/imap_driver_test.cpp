// The IMAP driver on its own: what each operation sends, and the word its
// completion carries for OK, NO and BAD, a connection that drops and a
// server that breaks the protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/imap/imap_driver.h"
#include "engine/core/net/line_assembler.h"

namespace rvo {
namespace {

using Strings = std::vector<std::string>;

class Recorder : public ImapDriverClient, private LineConsumer {
public:
    explicit Recorder(std::size_t window = 1)
        : driver(ImapDriverValues{window, 100, 50, {}, {}},
                 [this](std::string_view bytes) {
                     if (dropped) return false;
                     sent.emplace_back(bytes.substr(0, bytes.size() - 2));
                     return true;
                 },
                 *this) {}

    void feed(std::string_view bytes) { assembler.feed(bytes, *this); }
    ImapDriver::Completion note(std::string name) {
        return [this, name](const ImapOutcome& o) {
            static const char* const words[] = {"ok", "refused", "gone"};
            results.push_back(name + " " + words[static_cast<int>(o.result)] + (o.crossedExpunge ? " crossed" : ""));
        };
    }

    void readLiteral(std::uint64_t count) override { assembler.expectLiteral(count); }
    void onGreeting(std::string_view line, bool ok) override { events.push_back((ok ? "greeted " : "refused ") + std::string(line)); }
    void onFolder(const ImapListEntry& entry) override { events.push_back("folder " + entry.name); }
    void onUnreadableFolder(std::string_view, const std::string& why) override { events.push_back("unreadable " + why); }
    void onExpunge(std::uint32_t n) override { events.push_back("expunge " + std::to_string(n)); }
    void onExists(std::uint32_t n) override { events.push_back("exists " + std::to_string(n)); }
    void onTransferData(const std::optional<ImapFetchResponse>& fetch, std::string_view line) override {
        events.push_back(fetch ? "fetch " + fetch->number : "data " + std::string(line));
    }
    bool takesBody(const ImapFetchResponse& soFar) override {
        events.push_back("body of " + soFar.number);
        return true;
    }
    void onBodyPiece(std::string_view chunk) override { body += chunk; }
    void onBodyResponseEnded() override { events.push_back("body ended"); }
    void onAnswered() override {}
    void onOutOfStep(std::string_view line) override { events.push_back("out of step " + std::string(line)); }
    void onBroken(const std::string& what) override { events.push_back("broken " + what); }
    void onUntagged(std::string_view line) override { events.push_back("untagged " + std::string(line)); }
    void onBye(std::string_view line) override { events.push_back("bye " + std::string(line)); }
    void log(std::string_view text) override { logged.emplace_back(text); }

    Strings sent, events, results, logged;
    std::string body;
    bool dropped = false;
    ImapDriver driver;

private:
    void onLine(std::string_view line) override { driver.onLine(line); }
    void onLiteral(std::string_view chunk, bool) override { driver.onLiteral(chunk); }
    bool acceptsLongLine(std::string_view start) override { return driver.acceptsLongLine(start); }
    void onLinePiece(std::string_view piece, bool last) override { driver.onLinePiece(piece, last); }

    LineAssembler assembler{LineEnd::KeepCarriageReturn, 4096};
};

// Greeted, logged in and INBOX selected, one command at a time or pipelined.
void open(Recorder& r) {
    r.feed("* OK ready\r\n");
    ASSERT_TRUE(r.driver.login(ImapCommand{"A000 LOGIN alice secret\r\n", "A000 LOGIN alice ****"}, r.note("login")));
    r.feed("A000 OK Logged in\r\n");
    ASSERT_TRUE(r.driver.select("\"INBOX\"", r.note("select")));
    r.feed("* 3 EXISTS\r\n* OK [UIDVALIDITY 42] ok\r\nA002 OK [READ-WRITE] done\r\n");
    ASSERT_EQ(r.results, (Strings{"login ok", "select ok"}));
    r.results.clear();
}

TEST(ImapDriver, EachOperationCompletesWithItsWord) {
    Recorder r;
    open(r);
    EXPECT_EQ(r.driver.uidValidity(), 42u);
    EXPECT_EQ(r.driver.exists(), 3u);
    std::deque<std::uint32_t> found;
    EXPECT_EQ(r.driver.search(false, found, r.note("search")), "A003 SEARCH NOT DELETED");
    r.feed("* SEARCH 1 3\r\nA003 OK done\r\n");
    EXPECT_EQ(found, (std::deque<std::uint32_t>{1, 3}));
    EXPECT_TRUE(r.driver.fetchDate(1, r.note("date")));
    r.feed("* 1 FETCH (INTERNALDATE \"01-Jan-2005 10:00:00 +0000\" UID 7)\r\nI001 NO [SERVERBUG] later\r\n");
    EXPECT_EQ(r.driver.fetchBody(1, r.note("body")), "A004 FETCH 1 (BODY.PEEK[])");
    r.feed("* 1 FETCH (BODY[] {5}\r\nhello)\r\nA004 BAD what\r\n");
    EXPECT_TRUE(r.driver.flagDeleted(3, r.note("flag")));
    r.feed("* 3 FETCH (FLAGS (\\Deleted))\r\n* 3 EXPUNGE\r\nA005 ok done\r\n");
    EXPECT_EQ(r.driver.logout(r.note("logout")), "A006 LOGOUT");
    r.feed("* BYE bye\r\nA006 OK done\r\n");
    EXPECT_TRUE(r.driver.ended());
    EXPECT_EQ(r.sent, (Strings{"A000 LOGIN alice secret", "A002 SELECT \"INBOX\"", "A003 SEARCH NOT DELETED",
                               "I001 FETCH 1 (INTERNALDATE UID)", "A004 FETCH 1 (BODY.PEEK[])",
                               "A005 STORE 3 +FLAGS (\\Deleted)", "A006 LOGOUT"}));
    EXPECT_EQ(r.results, (Strings{"search ok", "date refused", "body refused", "flag ok crossed", "logout ok"}));
    EXPECT_EQ(r.body, "hello");
    EXPECT_EQ(r.events, (Strings{"greeted * OK ready", "fetch 1", "body of 1", "body ended", "fetch 3", "expunge 3"}));
    EXPECT_EQ(r.driver.exists(), 2u);
}

TEST(ImapDriver, ByUidEveryCommandHasATagOfItsOwnAndAMissingBodyIsGone) {
    Recorder r(8);
    open(r);
    std::deque<std::uint32_t> found;
    EXPECT_EQ(r.driver.search(true, found, r.note("search")), "A003 UID SEARCH ALL");
    r.feed("* SEARCH 7 8 9 12\r\nA003 OK done\r\n");
    EXPECT_EQ(r.driver.listDates({7, 8, 9, 12}, r.note("dates")), "T0001 UID FETCH 7:9,12 (INTERNALDATE)");
    EXPECT_EQ(r.driver.fetchBody(7, r.note("body 7")), "T0002 UID FETCH 7 (BODY.PEEK[])");
    EXPECT_EQ(r.driver.fetchBody(8, r.note("body 8")), "T0003 UID FETCH 8 (BODY.PEEK[])");
    EXPECT_EQ(r.driver.fetchBody(9, r.note("body 9")), "T0004 UID FETCH 9 (BODY.PEEK[])");
    EXPECT_EQ(r.driver.flagDeleted(12, r.note("flag 12")), "T0005 UID STORE 12 +FLAGS (\\Deleted)");
    // Answered in another order; an EXPUNGE crosses nothing addressed by UID.
    r.feed("* 2 FETCH (BODY[] {2}\r\nhi UID 8)\r\nT0003 OK done\r\n"
           "* 1 EXPUNGE\r\nT0002 OK done\r\n"
           "T0004 NO [SERVERBUG] no\r\n"
           "T0005 OK done\r\n"
           "* 1 FETCH (UID 8 INTERNALDATE \"01-Jan-2005 10:00:00 +0000\")\r\nT0001 OK done\r\n");
    EXPECT_EQ(r.results, (Strings{"search ok", "body 8 ok", "body 7 gone", "body 9 refused", "flag 12 ok", "dates ok"}));
    // A tag that names no command in flight.
    r.feed("T0003 OK again\r\n");
    EXPECT_EQ(r.events.back(), "out of step T0003 OK again");
}

TEST(ImapDriver, ADroppedConnectionAndABrokenProtocolEndTheConversationOnce) {
    Recorder dropped;
    open(dropped);
    dropped.dropped = true;
    std::deque<std::uint32_t> found;
    EXPECT_FALSE(dropped.driver.search(false, found, dropped.note("search")));
    EXPECT_TRUE(dropped.driver.ended());
    dropped.feed("A003 OK done\r\n");
    EXPECT_EQ(dropped.results, Strings{}) << "nothing completes after the connection failed";

    Recorder broken;
    open(broken);
    EXPECT_TRUE(broken.driver.fetchBody(1, broken.note("body")));
    broken.feed("* 1 FETCH (BODY[] {-5}\r\nA004 OK done\r\n");
    ASSERT_FALSE(broken.events.empty());
    EXPECT_EQ(broken.events.back(), "broken The server sent a literal marker that cannot be read: {-5}");
    EXPECT_TRUE(broken.driver.ended());
    EXPECT_EQ(broken.results, Strings{}) << "nothing is read after a protocol error";
}

TEST(ImapDriver, AuthenticateHandsEachContinuationToItsHandlerUntilTheCompletion) {
    Recorder r;
    r.feed("* OK ready\r\n");
    EXPECT_FALSE(r.driver.capabilities().known());
    EXPECT_EQ(r.driver.capability(r.note("capability")), "C000 CAPABILITY");
    r.feed("* CAPABILITY IMAP4rev1 auth=XOAUTH2\r\n* OK [ALERT] hello\r\nC000 OK done\r\n");
    EXPECT_TRUE(r.driver.capabilities().offersMechanism("XOAUTH2"));
    EXPECT_FALSE(r.driver.capabilities().has("SASL-IR"));

    Strings challenges;
    const auto answer = [&](std::string_view text) {
        challenges.emplace_back(text);
        return "reply" + std::to_string(challenges.size());
    };
    // Without the initial response the command line is shown as sent.
    EXPECT_EQ(r.driver.authenticate("XOAUTH2", std::nullopt, answer, r.note("auth")), "A000 AUTHENTICATE XOAUTH2");
    r.feed("+\r\n+ eyJ9\r\nA000 NO failed\r\n");
    EXPECT_EQ(challenges, (Strings{"", "eyJ9"}));
    // After the completion a continuation is no challenge of it.
    r.feed("+ late\r\n");
    EXPECT_EQ(challenges.size(), 2u);

    // With one it is masked in what the log shows; an empty one goes as "=".
    EXPECT_EQ(r.driver.authenticate("OAUTHBEARER", "dG9rZW4=", answer, r.note("auth")),
              "A000 AUTHENTICATE OAUTHBEARER **********");
    r.feed("A000 OK [CAPABILITY IMAP4rev1] signed in\r\n");
    EXPECT_TRUE(r.driver.authenticate("XOAUTH2", "", answer, r.note("auth")));
    r.feed("A000 OK signed in\r\n");
    EXPECT_EQ(r.sent, (Strings{"C000 CAPABILITY", "A000 AUTHENTICATE XOAUTH2", "reply1", "reply2",
                               "A000 AUTHENTICATE OAUTHBEARER dG9rZW4=", "A000 AUTHENTICATE XOAUTH2 ="}));
    EXPECT_EQ(r.results, (Strings{"capability ok", "auth refused", "auth ok", "auth ok"}));

    // A BYE before LOGOUT is told; the one LOGOUT brings is not.
    r.feed("* BYE Session invalidated - AccessTokenExpired\r\n");
    EXPECT_TRUE(r.driver.logout(r.note("logout")));
    r.feed("* BYE Logging out\r\nA006 OK done\r\n");
    EXPECT_EQ(std::count_if(r.events.begin(), r.events.end(), [](const std::string& e) { return e.starts_with("bye "); }), 1);
    EXPECT_NE(std::find(r.events.begin(), r.events.end(), "bye * BYE Session invalidated - AccessTokenExpired"),
              r.events.end());
}

TEST(ImapDriver, TheGreetingsCapabilitiesAreReadFromItsResponseCode) {
    Recorder r;
    r.feed("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=OAUTHBEARER] ready\r\n");
    EXPECT_TRUE(r.driver.capabilities().has("sasl-ir"));
    EXPECT_TRUE(r.driver.capabilities().offersMechanism("oauthbearer"));
    EXPECT_FALSE(r.driver.capabilities().offersMechanism("XOAUTH2"));
}

}  // namespace
}  // namespace rvo
