// The wizard's folder listing, played from transcripts in the words of real
// servers, each also fed split at every byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/core/imap/imap_folder_listing.h"
#include "engine/core/net/line_assembler.h"

namespace rvo {
namespace {

using namespace std::string_literals;

using Strings = std::vector<std::string>;

struct Listed {
    Strings sent, logged;
    int result = -1;
    std::string folderList, errorText;
    int ends = 0;
    friend bool operator==(const Listed&, const Listed&) = default;
};

class Harness : public ImapFolderListingHost, private LineConsumer {
public:
    Harness(std::string user, std::string password, std::size_t listBytes = 65536)
        : listing(std::move(user), std::move(password), listBytes, *this) {}
    void feed(std::string_view bytes) { assembler_.feed(bytes, *this); }
    Listed outcome() {
        out_.result = listing.result();
        out_.folderList = listing.folderList();
        out_.errorText = listing.errorText();
        return out_;
    }

    bool send(std::string_view bytes) override {
        EXPECT_TRUE(bytes.ends_with("\r\n"));
        out_.sent.emplace_back(bytes.substr(0, bytes.size() - 2));
        return true;
    }
    void readLiteral(std::uint64_t count) override { EXPECT_TRUE(assembler_.expectLiteral(count)); }
    void log(std::string_view text) override { out_.logged.emplace_back(text); }
    void conversationEnded() override { ++out_.ends; }

    ImapFolderListing listing;

private:
    void onLine(std::string_view line) override { listing.onLine(line); }
    void onLiteral(std::string_view chunk, bool) override { listing.onLiteral(chunk); }

    LineAssembler assembler_{LineEnd::KeepCarriageReturn};
    Listed out_;
};

Listed play(const std::string& server, std::size_t cut, bool everyByte, const std::string& user,
            const std::string& password, bool closeAfter) {
    Harness harness(user, password);
    if (everyByte) {
        for (const char c : server) harness.feed(std::string_view(&c, 1));
    } else {
        harness.feed(std::string_view(server).substr(0, cut));
        harness.feed(std::string_view(server).substr(cut));
    }
    if (closeAfter) harness.listing.onServerClosed();
    return harness.outcome();
}

Listed playEverySplit(const std::string& server, const std::string& user = "alice",
                      const std::string& password = "secret", bool closeAfter = true) {
    const Listed whole = play(server, server.size(), false, user, password, closeAfter);
    for (std::size_t cut = 1; cut < server.size(); ++cut) {
        if (!(play(server, cut, false, user, password, closeAfter) == whole)) {
            ADD_FAILURE() << "outcome differs when split at byte " << cut;
            break;
        }
    }
    EXPECT_TRUE(play(server, 0, true, user, password, closeAfter) == whole) << "outcome differs byte by byte";
    return whole;
}

const std::string kGreeting = "* OK [CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+] Dovecot ready.\r\n";
const std::string kLoginOk = "A000 OK [CAPABILITY IMAP4rev1 SASL-IR SORT THREAD=REFERENCES] Logged in\r\n";
const std::string kListOk = "A001 OK List completed (0.001 + 0.000 secs).\r\n";
const std::string kLogoutOk = "* BYE Logging out\r\nA002 OK Logout completed (0.001 + 0.000 secs).\r\n";

std::string dovecot(const std::string& listLines) { return kGreeting + kLoginOk + listLines + kListOk + kLogoutOk; }

TEST(ImapFolderListing, ListsThreeFoldersWithDovecotsWords) {
    const Listed out = playEverySplit(dovecot("* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
                                              "* LIST (\\HasNoChildren \\Drafts) \"/\" Drafts\r\n"
                                              "* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n"));
    EXPECT_EQ(out.result, 3);
    EXPECT_EQ(out.folderList, "INBOX;Drafts;Sent");
    EXPECT_EQ(out.errorText, "");
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A001 LIST \"\" \"*\"", "A002 LOGOUT"}));
    EXPECT_EQ(out.logged, (Strings{kGreeting.substr(0, kGreeting.size() - 2), "A000 LOGIN alice **********",
                                   kLoginOk.substr(0, kLoginOk.size() - 2), "A001 LIST \"\" \"*\"",
                                   kListOk.substr(0, kListOk.size() - 2), "A002 LOGOUT", "* BYE Logging out",
                                   "A002 OK Logout completed (0.001 + 0.000 secs)."}));
    // The acknowledged LOGOUT ends the conversation; the server's close after it changes nothing.
    EXPECT_EQ(out.ends, 1);
}

TEST(ImapFolderListing, OlderStyleCompletionsAndABareGreeting) {
    const Listed out = playEverySplit("* OK\r\nA000 OK LOGIN completed\r\n* LIST () \"/\" INBOX\r\n"
                                      "A001 OK LIST completed\r\n* BYE server terminating\r\nA002 OK LOGOUT completed\r\n");
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.folderList, "INBOX");
    EXPECT_EQ(out.sent.size(), 3u);
}

TEST(ImapFolderListing, NamesAreTheServersWhateverTheirSyntax) {
    const Listed out = playEverySplit(dovecot(
        "* LIST (\\HasNoChildren) \"/\" \"Sent Items\"\r\n"
        "* LIST (\\Noselect \\HasChildren) \"/\" \"Public\"\r\n"
        "* LIST (\\HasNoChildren) \"/\" INBOX\r\n"
        "* LIST (\\HasNoChildren) NIL Archive\r\n"
        "* LIST (\\HasNoChildren) \"/\" \"Work/2005\"\r\n"
        "* LIST (\\HasNoChildren) \"/\" \"Say \\\"hi\\\" C:\\\\x\"\r\n"
        "* LIST (\\HasNoChildren) \"/\" {11}\r\nLong\r\nName)\r\n"
        "* LIST (\\HasNoChildren) \"/\" \"Bills OK Paid\"\r\n"
        "* LIST (\\HasNoChildren) \"/\" \"Say NO more\"\r\n"
        "* LIST (\\HasNoChildren) \"/\" \"A000 OK x\"\r\n"
        "* LIST (\\HasNoChildren) \"/\" \"Entw&APw-rfe\"\r\n"));
    EXPECT_EQ(out.result, 11);
    EXPECT_EQ(out.folderList, "Sent Items;Public;INBOX;Archive;Work/2005;Say \"hi\" C:\\x;Long\r\nName);Bills OK Paid;"
                              "Say NO more;A000 OK x;Entw&APw-rfe");
    EXPECT_EQ(out.errorText, "");
    EXPECT_EQ(out.sent.size(), 3u) << "one LOGOUT, sent when LIST completed";
}

TEST(ImapFolderListing, RejectedLoginLogsOutAtOnceWithTheServersWords) {
    const std::string no = "A000 NO [AUTHENTICATIONFAILED] Authentication failed.";
    Listed out = playEverySplit(kGreeting + no + "\r\n" + kLogoutOk);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.errorText, "(IMAP2XRV)" + no);
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A002 LOGOUT"}));
    EXPECT_EQ(out.folderList, "");

    out = playEverySplit(kGreeting + "A000 BAD Error in IMAP command LOGIN: Invalid arguments.\r\n" + kLogoutOk);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.errorText, "(IMAP2XRV)Bad login attempt");
    EXPECT_EQ(out.sent.back(), "A002 LOGOUT");

    // An untagged warning is no refusal.
    out = playEverySplit(kGreeting + "* NO [ALERT] Password expires soon\r\n" + kLoginOk + kListOk + kLogoutOk);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.errorText, "");
}

TEST(ImapFolderListing, RefusedListKeepsWhatWasListed) {
    const Listed out = playEverySplit(kGreeting + kLoginOk + "* LIST () \"/\" INBOX\r\n* LIST () \"/\" Drafts\r\n" +
                                      "A001 NO [SERVERBUG] Internal error\r\n" + kLogoutOk);
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(out.folderList, "INBOX;Drafts");
    EXPECT_EQ(out.errorText, "(IMAP2XRV)A001 NO [SERVERBUG] Internal error");
}

TEST(ImapFolderListing, LoginArgumentsAreQuotedOrNeverSent) {
    Listed out = playEverySplit(kGreeting + kLoginOk + kListOk + kLogoutOk, "al ice", "p\"w\\d");
    EXPECT_EQ(out.sent.front(), "A000 LOGIN \"al ice\" \"p\\\"w\\\\d\"");
    EXPECT_EQ(out.logged[1], "A000 LOGIN \"al ice\" **********");

    out = playEverySplit(kGreeting + kLogoutOk, "alice", "pw\r\nA9 DELETE INBOX");
    EXPECT_EQ(out.sent, Strings{"A002 LOGOUT"});
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.errorText, "(IMAP2XRV)The user name or password holds a line break or NUL byte");
}

TEST(ImapFolderListing, AConversationThatDoesNotEndInOrderFails) {
    // The server leaves in the middle of the list: what came may not be all.
    Listed out = playEverySplit(kGreeting + kLoginOk + "* LIST () \"/\" INBOX\r\n");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.folderList, "");
    EXPECT_EQ(out.errorText, "(IMAP2XRV)The server closed the connection before the folders were listed");

    // LOGOUT sent and the server closes without answering: the list stands.
    out = playEverySplit(kGreeting + kLoginOk + "* LIST () \"/\" INBOX\r\n" + kListOk);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.folderList, "INBOX");

    // Never closed and never answered (the session's time-out ends it).
    out = playEverySplit(kGreeting + kLoginOk + "* LIST () \"/\" INBOX\r\n" + kListOk, "alice", "secret", false);
    EXPECT_EQ(out.result, 0);

    // A greeting that turns the client away.
    out = playEverySplit("* BYE Too many connections\r\n");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.errorText, "(IMAP2XRV)* BYE Too many connections");
}

// The wizard's buffer holds listBytes with the NUL: a list that fits
// exactly is returned, one byte more is no list at all, and the
// conversation still ends in order.
TEST(ImapFolderListing, AListLongerThanTheBufferIsRefusedWhole) {
    const auto list = [](std::size_t listBytes, const std::string& last) {
        Harness harness("alice", "secret", listBytes);
        harness.feed(dovecot("* LIST () \"/\" INBOX\r\n* LIST () \"/\" Drafts\r\n* LIST () \"/\" " + last + "\r\n"));
        return harness.outcome();
    };
    Listed out = list(16, "Se");  // "INBOX;Drafts;Se" and the NUL: 16 bytes
    EXPECT_EQ(out.result, 3);
    EXPECT_EQ(out.folderList, "INBOX;Drafts;Se");

    out = list(16, "Sen");
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.folderList, "");
    EXPECT_EQ(out.errorText, "(IMAP2XRV)The folder list is longer than 15 characters");
    EXPECT_EQ(out.sent, (Strings{"A000 LOGIN alice secret", "A001 LIST \"\" \"*\"", "A002 LOGOUT"}));
    EXPECT_EQ(out.ends, 1);
    EXPECT_NE(std::find(out.logged.begin(), out.logged.end(), "The folder list is longer than 15 characters"),
              out.logged.end());

    // One name alone too long for the buffer.
    out = list(65536, std::string(70000, 'n'));
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.errorText, "(IMAP2XRV)The folder list is longer than 65535 characters");
}

// ";" separates the names, so a name holding one would read as two.
TEST(ImapFolderListing, ANameHoldingTheSeparatorIsLeftOutAndNamed) {
    Listed out = playEverySplit(dovecot("* LIST () \"/\" INBOX\r\n* LIST () \"/\" \"Bills;2005\"\r\n"
                                        "* LIST () \"/\" {5}\r\nA\0B C\r\n* LIST () \"/\" Sent\r\n"s));
    EXPECT_EQ(out.result, 2);
    EXPECT_EQ(out.folderList, "INBOX;Sent");
    EXPECT_EQ(out.errorText, "");
    const auto logged = [&out](const std::string& line) {
        return std::count(out.logged.begin(), out.logged.end(), line);
    };
    EXPECT_EQ(logged("The folder \"Bills;2005\" is left out of the list: its name holds \";\""), 1);
    EXPECT_EQ(logged("A folder whose name holds a NUL byte is left out of the list"), 1);

    // Only the first hundred are named one by one.
    std::string many;
    for (int i = 0; i < 130; ++i) many += "* LIST () \"/\" \"a;" + std::to_string(i) + "\"\r\n";
    Harness harness("alice", "secret");
    harness.feed(dovecot(many + "* LIST () \"/\" INBOX\r\n"));
    out = harness.outcome();
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.folderList, "INBOX");
    EXPECT_EQ(logged("The folder \"a;99\" is left out of the list: its name holds \";\""), 1);
    EXPECT_EQ(logged("The folder \"a;100\" is left out of the list: its name holds \";\""), 0);
    EXPECT_EQ(logged("30 more folders whose names hold \";\" or a NUL byte were left out of the list"), 1);
}

TEST(ImapFolderListing, ConnectionFailuresReplaceTheErrorText) {
    Harness harness("alice", "secret");
    harness.listing.fail("Could not retrieve host information - 11001");
    EXPECT_EQ(harness.outcome().errorText, "(IMAP2XRV)Could not retrieve host information - 11001");
    EXPECT_EQ(harness.outcome().result, 0);
}

}  // namespace
}  // namespace rvo
