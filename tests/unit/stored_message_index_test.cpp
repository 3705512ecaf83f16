#include "engine/core/store/stored_message_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/core/store/message_names.h"

namespace rvo {
namespace {

const std::vector<std::string> kNames = {
    "200603081403090037-0000000200000000346749F5.imap",   // four-digit counter
    "2006030814030910037-0000000200000000346749F5.imap",  // five-digit counter
    "200603081403090038-0000000200000000346749f5.IMAP",   // letter case of another tool
    "200603081403090039-0000000200000000346749F4.imap",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345678346749F5.imap",   // any 35 characters, as matched before
    "200603081403090040-0000000200000000346749F5.imap.partial",
    "20060308140309000x1-0000000200000000346749F5.imap",  // not digits before a longer prefix
    "notes.imap",
    ".imap",
    "346749F5.imap",
};

TEST(StoredMessageIndex, CountsExactlyWhatTheDuplicateRuleAccepts) {
    StoredMessageIndex index;
    for (const auto& name : kNames) index.add(name);
    for (const std::string hex : {"346749F5", "346749f5", "346749F4", "46749F5", "1", "NOTES"}) {
        int expected = 0;
        for (const auto& name : kNames) expected += isStoredMessageName(name, hex) ? 1 : 0;
        EXPECT_EQ(index.count(hex), expected) << hex;
    }
    EXPECT_EQ(index.count("346749F5"), 4);
    EXPECT_EQ(index.count("346749F4"), 1);
}

TEST(StoredMessageIndex, KeepsCountingAsMessagesAreStoredAndForgetsOnClear) {
    StoredMessageIndex index;
    const CivilTime now{2006, 3, 8, 14, 3, 9};
    for (int counter : {1, 2, 10000}) index.add(messageFileName(now, counter, "346749F5"));
    index.add(temporaryFileName(messageFileName(now, 3, "346749F5")));
    EXPECT_EQ(index.count("346749F5"), 3);
    index.clear();
    EXPECT_EQ(index.count("346749F5"), 0);
}

}  // namespace
}  // namespace rvo
