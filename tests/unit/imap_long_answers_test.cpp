// Answers that are long or many: a SEARCH answer past the line bound, read
// as its numbers arrive and bounded by their count, and untagged lines that
// would fill the log.
#include "tests/unit/imap_transcripts.h"

namespace rvo {
namespace {

using namespace rvo::test;

// Longer than every other line of these transcripts, shorter than the SEARCH answers.
constexpr std::size_t kSmallLineBound = 128;

Outcome playBounded(const std::string& server, const ImapDialogueValues& values, std::size_t bound,
                    const std::vector<std::size_t>& cuts, bool& refused) {
    FakeStore store;
    Harness harness(values, store, bound);
    std::size_t from = 0;
    refused = false;
    for (const std::size_t cut : cuts) {
        refused |= !harness.feed(std::string_view(server).substr(from, cut - from));
        from = cut;
    }
    refused |= !harness.feed(std::string_view(server).substr(from));
    return harness.outcome();
}

// The outcome with the small bound, wherever a SEARCH answer is cut and fed
// byte by byte, is the one of the whole stream; nothing is refused.
Outcome playBoundedEverySplit(const std::string& server, const ImapDialogueValues& values) {
    bool refused = false;
    const Outcome whole = playBounded(server, values, kSmallLineBound, {}, refused);
    EXPECT_FALSE(refused);
    std::vector<std::size_t> cuts;
    for (std::size_t at = server.find("* SEARCH"); at != std::string::npos; at = server.find("* SEARCH", at + 1)) {
        for (std::size_t cut = at; cut <= server.find('\n', at) + 1 && cut < server.size(); ++cut) cuts.push_back(cut);
    }
    for (const std::size_t cut : cuts) {
        const Outcome split = playBounded(server, values, kSmallLineBound, {cut}, refused);
        if (refused || !(split == whole)) {
            ADD_FAILURE() << "outcome differs when split at byte " << cut << " of " << server.size();
            break;
        }
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < server.size(); ++i) everyByte.push_back(i);
    EXPECT_TRUE(playBounded(server, values, kSmallLineBound, everyByte, refused) == whole);
    EXPECT_FALSE(refused);
    return whole;
}

// Twenty message numbers of seven digits: a SEARCH line of 169 bytes.
std::string manyNumbers() {
    std::string numbers;
    for (int i = 1; i <= 20; ++i) numbers += (numbers.empty() ? "" : " ") + std::to_string(1000000 + i);
    return numbers;
}

std::string transferOf(const std::string& numbers) {
    std::string out;
    std::size_t from = 0;
    while (from < numbers.size()) {
        std::size_t end = numbers.find(' ', from);
        if (end == std::string::npos) end = numbers.size();
        const std::string id = numbers.substr(from, end - from);
        out += internalDate(id, "08-Mar-2006 09:15:42 +0000") + body(id, "m" + id + "\r\n");
        from = end + 1;
    }
    return out;
}

TEST(ImapLongAnswers, ASearchAnswerPastTheLineBoundIsReadAsItsNumbersArrive) {
    const std::string numbers = manyNumbers();
    ASSERT_GT(searchResult(numbers).find("\r\n"), kSmallLineBound);
    const std::string server = oneFolder(kInbox, numbers, transferOf(numbers));
    const Outcome bounded = playBoundedEverySplit(server, defaultValues());
    // The same migration as with lines held whole.
    EXPECT_TRUE(bounded == play(server, defaultValues()));
    EXPECT_EQ(bounded.files.size(), 20u);
    EXPECT_EQ(bounded.result, 0);
    EXPECT_NE(std::find(bounded.sent.begin(), bounded.sent.end(), "I001 FETCH 1000020 (INTERNALDATE UID)"),
              bounded.sent.end());

    // What is not a number is still left out and named once, cut short.
    const std::string noisy = numbers + " (MODSEQ 917) " + std::string(40, 'z');
    const Outcome ignored = playBoundedEverySplit(oneFolder(kInbox, noisy, transferOf(numbers)), defaultValues());
    EXPECT_EQ(ignored.files.size(), 20u);
    EXPECT_EQ(std::count(ignored.logged.begin(), ignored.logged.end(),
                         "Ignoring what is not a message number in the SEARCH result: (MODSEQ 917) zzzzzzzzzz..."),
              2);
}

TEST(ImapLongAnswers, MoreNumbersThanTheCountBoundEndTheSessionWithLogout) {
    ImapDialogueValues values = defaultValues();
    values.maxSearchNumbers = 5;
    const std::string numbers = manyNumbers();
    const std::string server = kGreeting + kLoginOk + kInbox + kListOk + selectOk(1000020) + searchResult(numbers) +
                               kLogoutOk;
    const Outcome out = playBoundedEverySplit(server, values);
    EXPECT_EQ(out.sent.back(), "A006 LOGOUT");
    EXPECT_EQ(out.bodyFetches(), 0);
    EXPECT_TRUE(out.files.empty());
    EXPECT_NE(std::find(out.logged.begin(), out.logged.end(),
                        "The SEARCH answer for the MailBox 'INBOX' holds more than 5 message numbers (20); the "
                        "session ends"),
              out.logged.end());
    EXPECT_EQ(out.result, 1);
    EXPECT_FALSE(out.closed);  // a clean end: the server acknowledged LOGOUT

    // Within the bound the folder is walked.
    values.maxSearchNumbers = 20;
    EXPECT_EQ(playBoundedEverySplit(oneFolder(kInbox, numbers, transferOf(numbers)), values).files.size(), 20u);
}

TEST(ImapLongAnswers, OtherLinesPastTheBoundAreStillRefused) {
    const std::string longStatus = "* OK " + std::string(200, 'x') + "\r\n";
    const std::string longSearch = "* SEARCH " + manyNumbers() + "\r\n";
    // An untagged line in the folder walk, a SEARCH answer where none is awaited
    // (before the login completes), and one inside a response with a literal.
    for (const std::string& server :
         {kGreeting + kLoginOk + kInbox + kListOk + selectOk(3) + longStatus, kGreeting + longSearch,
          kGreeting + kLoginOk + kInbox + kListOk + selectOk(3) + "* 1 FETCH (BODY[] {2}\r\nab " + longSearch}) {
        bool refused = false;
        // Cut just past the bound, so the line is unfinished when it grows too long.
        const std::size_t cut = server.size() - 20;
        playBounded(server, defaultValues(), kSmallLineBound, {cut}, refused);
        EXPECT_TRUE(refused) << server;
    }
}

TEST(ImapLongAnswers, RepeatedUntaggedLinesAreSummarisedWhenTheCommandCompletes) {
    ImapDialogueValues values = defaultValues();
    values.maxLoggedUntaggedPerKind = 3;
    std::string transfer;
    for (const std::string id : {"1", "2"}) {
        for (int i = 0; i < 6; ++i) transfer += "* " + id + " FETCH (FLAGS (\\Seen))\r\n";
        for (int i = 0; i < 5; ++i) transfer += "* OK Still here\r\n";
        transfer += internalDate(id, "0" + id + "-Mar-2006 09:15:42 +0000") + body(id, id == "1" ? kMessage1 : kMessage2);
    }
    const auto noise = [](const Outcome& out) {
        Strings lines;
        for (const std::string& line : out.logged)
            if (line.find("FETCH (FLAGS") != std::string::npos || line.ends_with("Still here") || line.starts_with("... "))
                lines.push_back(line);
        return lines;
    };
    const Outcome out = playEverySplit(oneFolder(kInbox, "1 2", transfer), values);
    // Each kind up to the bound, the rest counted, per command's answer.
    const Strings ok(3, "* OK Still here");
    Strings expected;
    for (const std::string id : {"1", "2"}) {
        for (int i = 0; i < 3; ++i) expected.push_back("* " + id + " FETCH (FLAGS (\\Seen))");
        expected.insert(expected.end(), ok.begin(), ok.end());
        expected.push_back("... 5 more untagged lines not logged");
    }
    EXPECT_EQ(noise(out), expected);
    EXPECT_EQ(out.files.size(), 2u);
    EXPECT_EQ(out.result, 0);

    // Under the bound nothing is summarised.
    values.maxLoggedUntaggedPerKind = 6;
    EXPECT_EQ(noise(playEverySplit(oneFolder(kInbox, "1 2", transfer), values)).size(), 22u);
}

}  // namespace
}  // namespace rvo
