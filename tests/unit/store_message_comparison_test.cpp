#include <gtest/gtest.h>

#include <string>

#include "engine/core/store/message_comparison.h"

namespace rvo {
namespace {

using Side = MessageComparator::Side;

// The answer when the two are fed in pieces of `a` and `b` bytes, the caller
// reading from the side the comparator wants.
bool sameWhenSplit(std::string_view first, std::string_view second, std::size_t a, std::size_t b) {
    MessageComparator comparator;
    std::string_view rest[2] = {first, second};
    const std::size_t piece[2] = {a, b};
    while (!comparator.decided()) {
        const int s = comparator.wanted() == Side::First ? 0 : 1;
        if (rest[s].empty()) {
            comparator.end(comparator.wanted());
            continue;
        }
        const std::size_t n = std::min(piece[s], rest[s].size());
        comparator.feed(comparator.wanted(), rest[s].substr(0, n));
        rest[s].remove_prefix(n);
    }
    return comparator.same();
}

// The same answer whole and at every split, both ways round.
void expectSame(std::string_view first, std::string_view second, bool expected) {
    EXPECT_EQ(sameMessageContent(first, second), expected) << first << "\n---\n" << second;
    EXPECT_EQ(sameMessageContent(second, first), expected);
    for (std::size_t a = 1; a <= first.size() + 1; ++a) {
        for (std::size_t b : {std::size_t{1}, a, std::size_t{7}, second.size() + 1}) {
            ASSERT_EQ(sameWhenSplit(first, second, a, b), expected) << "pieces " << a << " and " << b;
        }
    }
}

const std::string kHeaderLine = "000000000000000034674A2B\r\n";

std::string message(std::string_view headers, std::string_view body = "Hello\r\n") {
    return kHeaderLine + std::string(headers) + "\r\n" + std::string(body) + "\r\n";
}

TEST(MessageComparison, EveryBookkeepingHeaderIsLeftOut) {
    const std::string plain = message("From: a@example.org\r\nSubject: hi\r\n");
    for (const char* line : {"X-IMAPbase: 1234567890 0000000042\r\n", "X-UID: 17\r\n", "X-UIDL: 3f2a\r\n",
                             "Status: RO\r\n", "X-Status: A\r\n", "X-Keywords: $Forwarded\r\n",
                             "Content-Length: 1234\r\n", "x-imapBASE: 1 2\r\n", "STATUS : O\r\n", "X-UID:\r\n"}) {
        expectSame(plain, message(std::string("From: a@example.org\r\n") + line + "Subject: hi\r\n"), true);
    }
    // A server that renumbered the folder rewrote them all.
    expectSame(message("X-IMAPbase: 1111 0000000009\r\nX-UID: 1\r\nStatus: RO\r\nSubject: hi\r\n"),
               message("X-IMAPbase: 2222 0000000008\r\nX-UID: 5\r\nStatus: O\r\nX-Status: \r\nSubject: hi\r\n"), true);
}

TEST(MessageComparison, EveryOtherDifferenceCounts) {
    const std::string plain = message("From: a@example.org\r\nSubject: hi\r\n");
    // Fields beside the list, and names that only begin like one on it.
    for (const char* line : {"X-Mailer: 1\r\n", "X-UID2: 5\r\n", "X-Statusx: A\r\n", "Content-Type: text/plain\r\n",
                             "Content-Length-X: 3\r\n", "Received: from x\r\n", "Status\r\n", "X-UID 5\r\n"}) {
        expectSame(plain, message(std::string("From: a@example.org\r\n") + line + "Subject: hi\r\n"), false);
    }
    expectSame(plain, message("From: a@example.org\r\nSubject: hi!\r\n"), false);
    expectSame(plain, message("From: a@example.org\r\nSubject: hi\r\n", "Hello.\r\n"), false);
    expectSame(plain, plain.substr(0, plain.size() - 1), false);
    expectSame(plain, plain + "x", false);
    expectSame(plain, "", false);
    // The file's own first line is compared too.
    expectSame(plain, "000000000000000034674A2D" + plain.substr(24), false);
}

TEST(MessageComparison, OnlyTheHeaderSectionIsFiltered) {
    const std::string headers = "Subject: hi\r\n";
    // After the first empty line a line such as "Status: RO" is the message's own text.
    expectSame(message(headers, "Status: RO\r\nbody\r\n"), message(headers, "Status: RW\r\nbody\r\n"), false);
    expectSame(message(headers, "Status: RO\r\n"), message(headers, ""), false);
    expectSame(message(headers, "X-UID: 1\r\n"), message(headers, "X-UID: 1\r\n"), true);
    // A message with no header at all: every line is body.
    expectSame(kHeaderLine + "\r\nX-UID: 1\r\n", kHeaderLine + "\r\nX-UID: 2\r\n", false);
}

TEST(MessageComparison, FoldedLinesFollowTheirField) {
    const std::string plain = message("Subject: hi\r\nTo: b@example.org\r\n");
    expectSame(plain, message("Subject: hi\r\nX-Keywords: $a\r\n $b\r\n\t$c\r\nTo: b@example.org\r\n"), true);
    // The continuation of a compared field is compared.
    expectSame(message("Subject: hi\r\n there\r\nTo: b@example.org\r\n"),
               message("Subject: hi\r\n here\r\nTo: b@example.org\r\n"), false);
    // A folded line after a kept field that follows a left-out one is kept.
    expectSame(message("X-UID: 1\r\nSubject: hi\r\n there\r\n"), message("Subject: hi\r\n there\r\n"), true);
    expectSame(message("X-UID: 1\r\nSubject: hi\r\n there\r\n"), message("Subject: hi\r\n"), false);
}

TEST(MessageComparison, LineEndsAreTakenAsTheFilesHaveThem) {
    // Files with bare LF lines are filtered the same way.
    expectSame("0000\nSubject: hi\nX-UID: 4\n\nbody\n", "0000\nSubject: hi\n\nbody\n", true);
    expectSame("0000\nSubject: hi\n\nX-UID: 4\n", "0000\nSubject: hi\n\n", false);
    // The line ends themselves are bytes of the message.
    expectSame("0000\r\nSubject: hi\r\n\r\nbody\r\n", "0000\nSubject: hi\n\nbody\n", false);
    // A CR that does not end an empty line does not end the header.
    expectSame("0000\r\n\rX-UID: 1\r\nX-UID: 2\r\n\r\n", "0000\r\n\rX-UID: 1\r\n\r\n", true);
    // An unfinished last line is kept whole.
    expectSame("0000\r\nStatus", "0000\r\nStatus", true);
    expectSame("0000\r\nStatus", "0000\r\n", false);
    expectSame("0000\r\nX-UI", "0000\r\nX-UID", false);
}

TEST(MessageComparison, TheSideAheadKeepsOnlyWhatTheOtherHasNotReached) {
    MessageComparator comparator;
    const std::string big(1 << 20, 'x');
    comparator.feed(Side::First, "Subject: a\r\n\r\n" + big);
    EXPECT_EQ(comparator.wanted(), Side::Second);
    comparator.feed(Side::Second, "X-UID: 9\r\nSubject: a\r\n\r\n" + big.substr(1));
    EXPECT_EQ(comparator.wanted(), Side::Second);
    EXPECT_FALSE(comparator.decided());
    comparator.end(Side::Second);
    EXPECT_TRUE(comparator.decided());
    EXPECT_FALSE(comparator.same());
}

}  // namespace
}  // namespace rvo
