// The store's records and what a folder directory is known to hold.
#include "engine/core/store/stored_folder.h"

#include <gtest/gtest.h>

#include "engine/core/store/message_names.h"

namespace rvo {
namespace {

const std::string kHex = "346749F5";

std::string name(int counter, const std::string& hex = kHex) {
    return messageFileName(CivilTime{2006, 3, 8, 14, 3, 9}, counter, hex);
}

TEST(MessageRecords, ReadBackWhatWasWrittenAndSkipWhatIsTornOrForeign) {
    const MessageRecord work{{"Work in progress", 1700000000, 4294967295u}, name(1)};
    const MessageRecord inbox{{"INBOX", 1, 7}, name(2)};
    const std::string text = recordFileHeader() + formatRecord(work) + "1 2\r\n" + "0 5 x.imap INBOX\r\n" +
                             "1 4294967296 x.imap INBOX\r\n" + "1 5 x.imap \r\n" + "junk\n" + formatRecord(inbox) +
                             "1700000000 9 " + name(3) + " Wo";  // cut short by a crash
    const std::vector<MessageRecord> records = parseRecords(text);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].id.folder, "Work in progress");
    EXPECT_EQ(records[0].id.uid, 4294967295u);
    EXPECT_EQ(records[0].fileName, name(1));
    EXPECT_EQ(records[1].id.uidValidity, 1u);
    EXPECT_EQ(records[1].fileName, name(2));
    EXPECT_TRUE(parseRecords("").empty());
}

TEST(StoredFolder, OnlyARecordOfThatMessageAndAFileStillThereCountAsStored) {
    StoredFolder folder;
    const MessageIdentity m1{"INBOX", 5, 1}, m2{"INBOX", 5, 2}, m3{"INBOX", 5, 3};
    const std::string records = formatRecord({m1, name(1)}) + formatRecord({m2, name(2)}) +
                                formatRecord({{"INBOX", 4, 1}, name(4)}) + formatRecord({{"Work", 5, 1}, name(5)}) +
                                formatRecord({{"Old", 5, 1}, name(6)});
    // name(2) was removed by hand; name(3) has no record.
    folder.load({name(1), name(3), name(4), name(5), name(6), name(7, "1234")}, records);
    ASSERT_TRUE(folder.fileHolding(m1));
    EXPECT_EQ(*folder.fileHolding(m1), name(1));
    EXPECT_FALSE(folder.fileHolding(m2));
    EXPECT_FALSE(folder.fileHolding(m3));
    EXPECT_FALSE(folder.fileHolding({"INBOX", 6, 1}));  // another UIDVALIDITY
    EXPECT_FALSE(folder.fileHolding({"INBOX", 0, 0}));

    // Candidates for a message not known as stored: not message 1's file,
    // nor the file of a folder the server still lists; the file of an old
    // UIDVALIDITY, one without a record and that of a folder gone are.
    const auto listed = [](std::string_view f) { return f == "INBOX" || f == "Work"; };
    EXPECT_EQ(folder.candidates(kHex, m3, listed), (std::vector<std::string>{name(3), name(4), name(6)}));
    // Without a UID nothing of the folder itself can be ruled out.
    EXPECT_EQ(folder.candidates(kHex, {"INBOX", 5, 0}, listed),
              (std::vector<std::string>{name(1), name(3), name(4), name(6)}));
    EXPECT_TRUE(folder.candidates("1235", m3, listed).empty());

    // What this run stores and records counts at once; letter case of names does not matter.
    folder.addFile(name(8));
    folder.addRecord({m3, name(8)});
    EXPECT_EQ(*folder.fileHolding(m3), name(8));
    folder.addRecord({m2, "200603081403090003-0000000200000000346749f5.IMAP"});
    EXPECT_TRUE(folder.fileHolding(m2));
    EXPECT_EQ(folder.candidates(kHex, {"INBOX", 5, 9}, listed), (std::vector<std::string>{name(4), name(6)}));
}

}  // namespace
}  // namespace rvo
