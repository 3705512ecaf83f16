// What a log line may hold: one line, a bounded length, no password.
#include "engine/core/log/log_text.h"

#include <gtest/gtest.h>

#include <ctime>

#include "engine/core/imap/imap_opening.h"
#include "engine/core/log/credential_mask.h"
#include "engine/core/log/log_format.h"
#include "engine/core/pop3/pop3_credentials.h"

namespace rvo {
namespace {

TEST(LogText, OneLineAndBounded) {
    // A system error text ends in CR LF and an exception puts one inside.
    EXPECT_EQ(singleLine("(5) Access is denied.\r\n\nCould not open x\r\n"), "(5) Access is denied.  Could not open x");
    EXPECT_EQ(singleLine("a\rb\nc"), "a b c");
    EXPECT_EQ(singleLine(""), "");
    std::tm t{};
    t.tm_year = 106;
    t.tm_mday = 1;
    EXPECT_EQ(logLine(t, 7, "one\r\ntwo\r\n"), "01/01/2006 12:00:00 AM [7] : one two\n");

    const std::string greeting = "* OK " + std::string(10 * 1024 * 1024, 'x');
    const std::string cut = boundedLogText(greeting);
    EXPECT_EQ(cut, greeting.substr(0, kMaxSessionLogText) + " ... (10485765 bytes in all)");
    EXPECT_EQ(boundedLogText("short"), "short");
}

// Text that does not come from the credentials stays as it is, whatever
// the password: the old rule turned "next" into "ne**********t".
TEST(CredentialMask, LeavesWordsAndPathsThatOnlyHoldThePassword) {
    const CredentialMask x = ImapOpening::loginMask("alice", "x");
    for (const std::string text : {"The account is left for the next run", "C:\\mail\\x\\inbox\\x.imap",
                                   "Skipping the MailBox 'Work/x-files'", "1 message of 0x1F bytes, exit"})
        EXPECT_EQ(x.apply(text), text);
    EXPECT_EQ(x.apply("A000 NO password x rejected"), "A000 NO password ********** rejected");
    EXPECT_EQ(x.apply("x"), "**********");

    // A common word as password: masked where it stands alone, nowhere else.
    const CredentialMask next = ImapOpening::loginMask("alice", "next");
    EXPECT_EQ(next.apply("left for the next run; nextcloud, context"), "left for the ********** run; nextcloud, context");
    // A sentence mark after it still ends the token; a file extension does not.
    EXPECT_EQ(next.apply("wrong password: next. Try (next) or 'next', next!"),
              "wrong password: **********. Try (**********) or '**********', **********!");
    EXPECT_EQ(next.apply("next.log next:1 next.x"), "next.log next:1 next.x");

    // No password, or one of blanks only: nothing to find as a token.
    EXPECT_TRUE(CredentialMask().empty());
    EXPECT_EQ(ImapOpening::loginMask("alice", "").apply("A000 NO  \"\" x"), "A000 NO  \"\" x");
    EXPECT_EQ(CredentialMask(" ").apply("a b  c"), "a b  c");
}

// The forms a server can echo: the LOGIN line as sent (atom or quoted
// string with its escapes), the quoted form alone or unescaped, a literal.
TEST(CredentialMask, EveryFormTheLoginSentIsMasked) {
    const std::string password = "Zq9%s\"x y\\\\";
    const CredentialMask mask = ImapOpening::loginMask("alice", password);
    const std::optional<ImapCommand> login = ImapOpening::loginCommand("alice", password);
    ASSERT_TRUE(login);
    const std::string sent = login->bytes.substr(0, login->bytes.size() - 2);
    EXPECT_EQ(sent, "A000 LOGIN alice \"Zq9%s\\\"x y\\\\\\\\\"");

    // The echo of the command, in the server's refusal and run into other text.
    EXPECT_EQ(mask.apply("A000 NO " + sent + " rejected"), "A000 NO " + login->logged + " rejected");
    EXPECT_EQ(mask.apply("A000 BAD [" + sent + "]"), "A000 BAD [" + login->logged + "]");
    for (const std::string echo : {"A000 NO Invalid password \"Zq9%s\\\"x y\\\\\\\\\"",  // quoted
                                   "A000 NO Invalid password 'Zq9%s\\\"x y\\\\\\\\'",  // escaped, other quotes
                                   "A000 NO Invalid password Zq9%s\"x y\\\\",          // as typed
                                   "A000 NO Invalid password {11}\r\nZq9%s\"x y\\\\\r\n"}) {  // a literal
        const std::string masked = mask.apply(echo);
        EXPECT_EQ(masked.find("Zq9"), std::string::npos) << masked;
        EXPECT_NE(masked.find("Invalid password"), std::string::npos) << masked;
    }
    // An unrelated word holding the password's text keeps it.
    EXPECT_EQ(mask.apply("Zq9%sx is no password"), "Zq9%sx is no password");

    // An atom password: the echo of the command masks its place even where
    // no token ends, and only when the echo is not part of a longer word.
    const CredentialMask atom = ImapOpening::loginMask("alice", "s3cret");
    EXPECT_EQ(atom.apply("A000 NO A000 LOGIN alice s3cret/retry"), "A000 NO A000 LOGIN alice **********/retry");
    EXPECT_EQ(atom.apply("A000 LOGIN alice s3cret2 is not it"), "A000 LOGIN alice s3cret2 is not it");
    // A user name that is the password's text cannot be told from it.
    const CredentialMask same = ImapOpening::loginMask("LOGIN", "LOGIN");
    EXPECT_EQ(same.apply("A000 LOGIN LOGIN LOGIN"), "A000 ********** ********** **********");
}

TEST(CredentialMask, TheEchoOfPassIsMasked) {
    const CredentialMask mask = pop3CredentialMask("my pass");
    EXPECT_EQ(mask.apply("-ERR PASS my pass: no such user"), "-ERR PASS **********: no such user");
    EXPECT_EQ(mask.apply("-ERR [AUTH] my pass"), "-ERR [AUTH] **********");
    EXPECT_EQ(mask.apply("-ERR bypass my passage"), "-ERR bypass my passage");
    // Blanks around the password: also masked as the trimmed value a server may echo.
    EXPECT_EQ(pop3CredentialMask(" s3cret ").apply("-ERR PASS  s3cret  refused; s3cret"),
              "-ERR PASS ********** refused; **********");
}

TEST(CredentialMask, ALongLineIsMaskedBeforeItIsCut) {
    const CredentialMask mask = ImapOpening::loginMask("alice", "s3cret");
    // The password across the cut: the part kept never shows a piece of it.
    const std::string line = std::string(kMaxSessionLogText - 3, 'a') + " s3cret " + std::string(5000, 'b');
    const std::string cut = mask.applyBounded(line, kMaxSessionLogText);
    EXPECT_EQ(cut.find("s3"), std::string::npos);
    EXPECT_EQ(cut, std::string(kMaxSessionLogText - 3, 'a') + " ** ... (" + std::to_string(line.size()) +
                       " bytes in all)");
    EXPECT_EQ(mask.applyBounded("short s3cret", kMaxSessionLogText), "short **********");
    EXPECT_EQ(mask.applyBounded(line, 10 * line.size()), mask.apply(line));
    // Cut as an unmasked line is cut.
    const std::string plain(2000, 'c');
    EXPECT_EQ(mask.applyBounded(plain, kMaxSessionLogText), boundedLogText(plain));
    // A short password masked many times inside the bound still makes a
    // line within it: the mask is longer than the password.
    const CredentialMask one("x");
    std::string many;
    while (many.size() + 2 <= 100) many += "x ";
    const std::string bounded = one.applyBounded(many, 100);
    EXPECT_LE(bounded.size(), 100 + std::string(" ... (100 bytes in all)").size());
    EXPECT_EQ(bounded.find("x"), std::string::npos);
}

}  // namespace
}  // namespace rvo
