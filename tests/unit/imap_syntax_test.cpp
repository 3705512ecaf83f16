#include <gtest/gtest.h>

#include <cstdint>
#include <deque>

#include "engine/core/imap/imap_search_reader.h"
#include "engine/core/imap/imap_syntax.h"

namespace rvo {
namespace {

ImapResponse lines(std::initializer_list<std::string> texts) {
    ImapResponse response;
    for (const std::string& text : texts) response.push_back({ImapResponsePart::Kind::Text, text});
    return response;
}

TEST(ImapCompletion, TagAndStatusDecideWhateverTextFollows) {
    EXPECT_EQ(taggedStatus("A000 OK [CAPABILITY IMAP4rev1 SASL-IR] Logged in", "A000"), ImapStatus::Ok);
    EXPECT_EQ(taggedStatus("A000 OK LOGIN completed", "A000"), ImapStatus::Ok);
    EXPECT_EQ(taggedStatus("a002 ok", "A002"), ImapStatus::Ok);
    EXPECT_EQ(taggedStatus("A002 NO [NONEXISTENT] Mailbox doesn't exist", "A002"), ImapStatus::No);
    EXPECT_EQ(taggedStatus("A003 BAD Error in IMAP command", "A003"), ImapStatus::Bad);
    // Another tag, an untagged line, a word that only starts like a status.
    EXPECT_EQ(taggedStatus("A0001 OK", "A000"), ImapStatus::None);
    EXPECT_EQ(taggedStatus("* OK A000 OK", "A000"), ImapStatus::None);
    EXPECT_EQ(taggedStatus("A000 OKAY", "A000"), ImapStatus::None);
}

TEST(ImapLiteral, MarkerOnlyEndsDataResponses) {
    EXPECT_EQ(literalMarker("* 1 FETCH (BODY[] {20971520}"), 20971520u);
    EXPECT_EQ(literalMarker("* LIST () \"/\" {0}"), 0u);
    EXPECT_FALSE(literalMarker("* 1 FETCH (BODY[] {12a}"));
    EXPECT_FALSE(literalMarker("{}"));
    EXPECT_FALSE(literalMarker("{1234567890123456789}"));  // would not fit
    EXPECT_TRUE(mayCarryLiterals("* 1 FETCH (BODY[] {5}"));
    EXPECT_TRUE(mayCarryLiterals("* LIST () \"/\" {5}"));
    // Free text of a status response may end in braces without announcing bytes.
    EXPECT_FALSE(mayCarryLiterals("* OK [ALERT] quota {5}"));
    EXPECT_FALSE(mayCarryLiterals("* BYE {5}"));
    EXPECT_FALSE(mayCarryLiterals("A004 OK done {5}"));
    EXPECT_FALSE(mayCarryLiterals("+ ready {5}"));
}

TEST(ImapArguments, AtomsAsTheyStandOthersQuotedLineBreaksRefused) {
    EXPECT_EQ(imapAstring("alice"), "alice");
    EXPECT_EQ(imapAstring("user@example.com"), "user@example.com");
    EXPECT_EQ(imapAstring("pass word"), "\"pass word\"");
    EXPECT_EQ(imapAstring("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
    EXPECT_EQ(imapAstring(""), "\"\"");
    EXPECT_EQ(imapAstring("50%*"), "\"50%*\"");
    EXPECT_EQ(imapAstring("caf\xE9"), "\"caf\xE9\"");
    EXPECT_FALSE(imapAstring("a\r\nA001 DELETE INBOX"));
    EXPECT_FALSE(imapAstring(std::string("a\0b", 3)));
    EXPECT_EQ(imapQuoted("INBOX"), "\"INBOX\"");
    EXPECT_EQ(imapQuoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    // No fixed line length: a long name is quoted whole.
    EXPECT_EQ(imapQuoted(std::string(300, 'x'))->size(), 302u);
}

TEST(ImapList, FlagsDelimiterAndNameForms) {
    std::string why;
    auto entry = parseListResponse(lines({"* LIST (\\HasNoChildren) \"/\" \"INBOX\""}), why);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "INBOX");
    EXPECT_EQ(entry->delimiter, "/");
    EXPECT_TRUE(entry->selectable());

    // \Noselect anywhere in the list, in any letter case.
    for (const char* flags : {"(\\Noselect \\HasChildren)", "(\\HasChildren \\Noselect)", "(\\HasChildren \\NOSELECT)",
                              "(\\NonExistent)"}) {
        entry = parseListResponse(lines({std::string("* LIST ") + flags + " \"/\" Old"}), why);
        ASSERT_TRUE(entry) << flags;
        EXPECT_EQ(entry->name, "Old");
        EXPECT_FALSE(entry->selectable()) << flags;
    }

    entry = parseListResponse(lines({"* LIST () NIL Archive"}), why);
    ASSERT_TRUE(entry);
    EXPECT_FALSE(entry->delimiter);
    EXPECT_EQ(entry->name, "Archive");

    entry = parseListResponse(lines({"* LIST () \"\\\\\" \"Say \\\"hi\\\" \\\\ there\""}), why);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->delimiter, "\\");
    EXPECT_EQ(entry->name, "Say \"hi\" \\ there");

    ImapResponse literal = lines({"* LIST (\\HasNoChildren) \".\" {9}"});
    literal.push_back({ImapResponsePart::Kind::Literal, "Tom's \"x\""});
    literal.push_back({ImapResponsePart::Kind::Text, ""});
    entry = parseListResponse(literal, why);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Tom's \"x\"");

    EXPECT_FALSE(parseListResponse(lines({"* LIST \\HasNoChildren \"/\" INBOX"}), why));
    EXPECT_FALSE(parseListResponse(lines({"* LIST () \"/\""}), why));
}

TEST(ImapSearch, OnlyMessageNumbersAreTaken) {
    ImapSearchReader reader(100);
    std::deque<std::uint32_t> numbers;
    reader.feed("* SEARCH", numbers);
    reader.endLine(numbers);
    EXPECT_TRUE(numbers.empty());
    reader.feed("* SEARCH 3 7 12", numbers);
    reader.endLine(numbers);
    EXPECT_EQ(numbers, (std::deque<std::uint32_t>{3, 7, 12}));
    EXPECT_EQ(reader.ignoredCount(), 0u);
    numbers.clear();
    // A trailing blank loses nothing; anything else is set aside.
    reader.feed("* SEARCH 4  5 ../x 0 4294967296 (MODSEQ 9) ", numbers);
    reader.endLine(numbers);
    EXPECT_EQ(numbers, (std::deque<std::uint32_t>{4, 5}));
    EXPECT_EQ(reader.ignoredText(), " ../x 0 4294967296 (MODSEQ 9)");
    EXPECT_EQ(reader.ignoredCount(), 5u);
}

TEST(ImapFetch, ItemsAfterTheLiteralAndPendingLiteral) {
    ImapResponse response = lines({"* 5 FETCH (UID 9 BODY[] {3}"});
    auto fetch = parseFetchResponse(response);
    ASSERT_TRUE(fetch);
    EXPECT_EQ(fetch->number, "5");
    EXPECT_EQ(fetch->last()->name, "BODY[]");
    EXPECT_EQ(fetch->last()->value.kind, ImapToken::Kind::PendingLiteral);

    response.push_back({ImapResponsePart::Kind::Streamed, ""});
    response.push_back({ImapResponsePart::Kind::Text, " FLAGS (\\Seen \\Deleted))"});
    fetch = parseFetchResponse(response);
    ASSERT_TRUE(fetch);
    ASSERT_EQ(fetch->items.size(), 3u);
    EXPECT_EQ(fetch->find("body[]")->value.kind, ImapToken::Kind::Streamed);
    EXPECT_EQ(fetch->items[2].name, "FLAGS");
}

// Message counts and numbers of untagged responses, and numeric response codes.
TEST(ImapMailboxSize, ExistsExpungeAndUidValidity) {
    EXPECT_EQ(untaggedCount("* 3 EXPUNGE", "EXPUNGE"), 3u);
    EXPECT_EQ(untaggedCount("* 0 EXISTS", "EXISTS"), 0u);
    EXPECT_EQ(untaggedCount("* 05 exists", "EXISTS"), 5u);
    EXPECT_FALSE(untaggedCount("* 0 EXPUNGE", "EXPUNGE"));
    EXPECT_FALSE(untaggedCount("* 4294967296 EXPUNGE", "EXPUNGE"));
    EXPECT_FALSE(untaggedCount("* 3 FETCH (FLAGS ())", "EXPUNGE"));
    EXPECT_FALSE(untaggedCount("A1 3 EXPUNGE", "EXPUNGE"));
    EXPECT_FALSE(untaggedCount("* SEARCH 3 EXPUNGE", "EXPUNGE"));
    EXPECT_EQ(responseCodeNumber("* OK [UIDVALIDITY 1700000000] UIDs valid", "UIDVALIDITY"), 1700000000u);
    EXPECT_EQ(responseCodeNumber("* ok [uidvalidity 7]", "UIDVALIDITY"), 7u);
    EXPECT_FALSE(responseCodeNumber("* OK [UIDNEXT 9] Predicted next UID", "UIDVALIDITY"));
    EXPECT_FALSE(responseCodeNumber("* OK [UIDVALIDITY -1] no", "UIDVALIDITY"));
    EXPECT_FALSE(responseCodeNumber("* OK [UIDVALIDITY 12", "UIDVALIDITY"));
    EXPECT_FALSE(responseCodeNumber("* NO [UIDVALIDITY 12] x", "UIDVALIDITY"));
}

TEST(ImapInternalDate, ReadsTheWallClockAndShiftsByWholeHoursOfBias) {
    const auto date = parseInternalDate("17-Jul-1996 02:44:25 -0700");
    ASSERT_TRUE(date);
    EXPECT_EQ(*date, (CivilTime{1996, 7, 17, 2, 44, 25}));
    // The zone has no effect; the machine's bias does, in whole hours (-330 minutes: -5 hours).
    EXPECT_EQ(internalDateToFileTime(*date, 0), fileTimeFromCivil(*date));
    EXPECT_EQ(internalDateToFileTime(*date, 480), fileTimeFromCivil({1996, 7, 17, 10, 44, 25}));
    EXPECT_EQ(internalDateToFileTime(*date, -330), fileTimeFromCivil({1996, 7, 16, 21, 44, 25}));

    EXPECT_EQ(parseInternalDate(" 7-Jul-1996 02:44:25 +0000"), parseInternalDate("7-Jul-1996 02:44:25 +0000"));
    EXPECT_EQ(parseInternalDate("17-JUL-1996 02:44:25 -0700"), date);
    for (const char* bad : {"17-Jux-1996 02:44:25 -0700", "31-Feb-2005 00:00:00 +0000", "17-Jul-1996", "", "garbage",
                            "17-Jul-1996 25:00:00 +0000"}) {
        EXPECT_FALSE(parseInternalDate(bad)) << bad;
    }
    EXPECT_EQ(dateHex(fallbackMessageTime()), "210000");
}

TEST(ImapCaption, FillsFolderAndNumbersOnly) {
    EXPECT_EQ(formatMessageCaption("Processing [%s]\nMessage [%d] of [%d] for this User", "inbox", 3, 12),
              "Processing [inbox]\nMessage [3] of [12] for this User");
    EXPECT_EQ(formatMessageCaption("%s %d %d %d %n %% %", "%d", 1, 2), "%d 1 2 %d %n % %");
}

}  // namespace
}  // namespace rvo
