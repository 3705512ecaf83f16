#include <gtest/gtest.h>

#include <string>

#include "engine/core/session/ending_record.h"

namespace rvo {
namespace {

TEST(EndingRecord, TheFirstCauseStaysAndTheLatestRefusalIsKeptWithoutItsLineEnd) {
    EndingRecord record;
    EXPECT_FALSE(record.decided());
    record.note(SessionEnd::StoreWriteFailed, "Could not write message file: disk full");
    record.note(SessionEnd::ConnectionDropped, "the server closed the connection");
    EXPECT_EQ(record.end(), SessionEnd::StoreWriteFailed);
    EXPECT_EQ(record.reason(), "the store could not be written: Could not write message file: disk full");

    record.noteRefusal("A004 NO [THROTTLED] slow down\r\n");
    record.noteRefusal("A005 BAD later\r");
    EXPECT_EQ(record.lastRefusal(), "A005 BAD later");

    // Without a detail the reason is the cause's text alone; long texts are cut.
    EndingRecord plain;
    plain.note(SessionEnd::Cancelled);
    EXPECT_EQ(plain.reason(), "the run was cancelled");
    EndingRecord longOne;
    longOne.note(SessionEnd::ServerError, std::string(5000, 'x'));
    longOne.noteRefusal("* NO " + std::string(5000, 'y'));
    EXPECT_EQ(longOne.reason().size(), kMaxEndingText);
    EXPECT_EQ(longOne.lastRefusal().size(), kMaxEndingText);
}

TEST(EndingRecord, SettlingPrefersANormalEndThenTheDialogueThenTheConnection) {
    MigrationTally tally;
    tally.countStored(100);
    tally.countStored(20);
    tally.countRecognised();
    EndingRecord dialogue;
    EndingRecord connection;
    connection.note(SessionEnd::ConnectionDropped, "Could not receive data from server - 0");

    // A dialogue that ended normally is completed whatever the connection did after.
    SessionEnding ending = settleEnding(0, dialogue, connection, tally);
    EXPECT_EQ(ending.end, SessionEnd::Completed);
    EXPECT_TRUE(ending.reason.empty());
    EXPECT_EQ(ending.stored, 2u);
    EXPECT_EQ(ending.recognised, 1u);
    EXPECT_EQ(ending.bytesStored, 120u);

    ending = settleEnding(1, dialogue, connection, tally);
    EXPECT_EQ(ending.end, SessionEnd::ConnectionDropped);
    EXPECT_EQ(ending.reason, "the connection dropped: Could not receive data from server - 0");

    // What the server said before it closed explains the close.
    dialogue.note(SessionEnd::LoginRefused, "A000 NO [UNAVAILABLE] try later\r\n");
    dialogue.noteRefusal("A000 NO [UNAVAILABLE] try later\r\n");
    ending = settleEnding(1, dialogue, connection, tally);
    EXPECT_EQ(ending.end, SessionEnd::LoginRefused);
    EXPECT_EQ(ending.lastRefusal, "A000 NO [UNAVAILABLE] try later");

    // Nobody named a cause: failed, with the tally's first reason.
    tally.leaveForNextRun("new messages arrived");
    ending = settleEnding(1, EndingRecord{}, EndingRecord{}, tally);
    EXPECT_EQ(ending.end, SessionEnd::Failed);
    EXPECT_EQ(ending.reason, "the session failed: new messages arrived");
    EXPECT_EQ(settleEnding(1, EndingRecord{}, EndingRecord{}, MigrationTally{}).reason, "the session failed");
}

}  // namespace
}  // namespace rvo
