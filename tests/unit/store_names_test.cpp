#include <gtest/gtest.h>

#include "engine/core/store/file_time.h"
#include "engine/core/store/message_names.h"

namespace rvo {
namespace {

FileTime at(int y, int mo, int d, int h, int mi, int s) { return fileTimeFromCivil({y, mo, d, h, mi, s}).value(); }

TEST(StoreFileTime, CalendarConversionRoundTripsAndRejectsImpossibleDates) {
    EXPECT_EQ(at(1601, 1, 1, 0, 0, 0), 0u);
    EXPECT_EQ(at(1970, 1, 1, 0, 0, 0), 116444736000000000u);  // the Unix epoch as a FILETIME
    for (const CivilTime t : {CivilTime{2000, 2, 29, 23, 59, 59}, CivilTime{1979, 12, 31, 12, 0, 1},
                              CivilTime{2400, 2, 29, 0, 0, 0}}) {
        EXPECT_EQ(civilFromFileTime(at(t.year, t.month, t.day, t.hour, t.minute, t.second)), t);
    }
    EXPECT_EQ(civilFromFileTime(at(2006, 3, 7, 9, 15, 42) + 9'999'999).second, 42);
    for (const CivilTime t : {CivilTime{1900, 2, 29, 0, 0, 0}, CivilTime{2006, 4, 31, 0, 0, 0},
                              CivilTime{2006, 1, 1, 24, 0, 0}, CivilTime{1600, 12, 31, 0, 0, 0}}) {
        EXPECT_FALSE(fileTimeFromCivil(t)) << t.year << "-" << t.month << "-" << t.day;
    }
}

TEST(StoreDateHex, PacksFatDateAndTimeInTwoSecondSlots) {
    EXPECT_EQ(packedFatDateTime(at(2006, 3, 7, 9, 15, 42)), 0x3467u * 65536 + 0x49F5u);
    EXPECT_EQ(dateHex(at(2006, 3, 7, 9, 15, 42)), "346749F5");
    EXPECT_EQ(dateHex(at(2006, 3, 7, 9, 15, 43)), "346749F5");
    EXPECT_EQ(dateHex(at(2006, 3, 7, 9, 15, 41)), "346749F4");
    EXPECT_EQ(dateHex(at(2006, 3, 7, 9, 15, 44)), "346749F6");
    // No leading zeros: fewer than 8 digits before 1988.
    EXPECT_EQ(dateHex(at(1988, 1, 1, 0, 0, 0)), "10210000");
    EXPECT_EQ(dateHex(at(1987, 12, 31, 23, 59, 58)), "F9FBF7D");
    EXPECT_EQ(dateHex(at(1980, 1, 1, 0, 0, 0)), "210000");
}

TEST(StoreDateHex, TimesOutsideFatRangeTakeTheNearestFatTime) {
    for (FileTime early : {FileTime{0}, at(1970, 1, 1, 0, 0, 0), at(1979, 12, 31, 23, 59, 59)}) {
        EXPECT_EQ(dateHex(early), "210000");  // 1980-01-01 00:00:00
    }
    for (FileTime late : {at(2107, 12, 31, 23, 59, 59), at(2108, 1, 1, 0, 0, 0), ~FileTime{0}}) {
        EXPECT_EQ(dateHex(late), "FF9FBF7D");  // 2107-12-31 23:59:58
    }
}

TEST(StoreMessageName, BuildsTheDocumentedNameAndHeader) {
    const CivilTime storedAt{2006, 3, 8, 14, 3, 9};
    const std::string hex = dateHex(at(2006, 3, 7, 9, 15, 42));
    EXPECT_EQ(messageFileName(storedAt, 37, hex), "200603081403090037-0000000200000000346749F5.imap");
    EXPECT_EQ(messageFilePath("D:\\Mail\\dom\\user\\inbox", storedAt, 37, hex),
              "D:\\Mail\\dom\\user\\inbox\\200603081403090037-0000000200000000346749F5.imap");
    EXPECT_EQ(messageFileName(storedAt, 12345, hex), "2006030814030912345-0000000200000000346749F5.imap");
    EXPECT_EQ(messageFileName(storedAt, -3, hex), "200603081403090000-0000000200000000346749F5.imap");
    EXPECT_EQ(imapHeaderLine(hex), "0000000000000000346749F5");
    EXPECT_EQ(duplicatePattern("D:\\x", hex), "D:\\x\\*346749F5.imap");
}

TEST(StoreDuplicateTest, RecognisesStoredNamesOfItsDateHexOnly) {
    const std::string hex = "346749F5";
    const CivilTime t{2006, 3, 8, 14, 3, 9};
    for (int counter : {0, 37, 9999, 10000, 123456, 2147483647}) {
        EXPECT_TRUE(isStoredMessageName(messageFileName(t, counter, hex), hex)) << counter;
        EXPECT_FALSE(isStoredMessageName(messageFileName(t, counter, "346749F4"), hex)) << counter;
    }
    // Whatever 35 characters stand before the dateHex, as the earlier fixed pattern allowed.
    EXPECT_TRUE(isStoredMessageName(std::string(35, 'x') + hex + ".imap", hex));
    EXPECT_TRUE(isStoredMessageName("200603081403090037-0000000200000000346749f5.IMAP", hex));
    EXPECT_FALSE(isStoredMessageName(std::string(34, 'x') + hex + ".imap", hex));
    EXPECT_FALSE(isStoredMessageName(std::string(36, 'x') + hex + ".imap", hex));
    EXPECT_FALSE(isStoredMessageName("2006030814030912a45-0000000200000000346749F5.imap", hex));
    EXPECT_FALSE(isStoredMessageName("200603081403090037-0000000200000000346749F5.imap.bak", hex));
    EXPECT_FALSE(isStoredMessageName("200603081403090037-0000000200000000346749F5.imap", ""));
}

TEST(StoreDuplicateTest, ShorterDateHexIsNotFoundInsideALongerOne) {
    // 1984-04-01 ends in the digits of 1980-04-01; the longer one is another slot.
    const CivilTime t{2006, 3, 8, 14, 3, 9};
    const std::string shorter = dateHex(at(1980, 4, 1, 0, 0, 0));
    const std::string longer = dateHex(at(1984, 4, 1, 0, 0, 0));
    ASSERT_EQ(longer, "8" + shorter);
    for (int counter : {37, 10000, 999999}) {
        EXPECT_FALSE(isStoredMessageName(messageFileName(t, counter, longer), shorter)) << counter;
        EXPECT_FALSE(isStoredMessageName(messageFileName(t, counter, shorter), longer)) << counter;
    }
}

TEST(StoreTemporaryName, NeverLooksStoredAndOnlyOursAreRecognised) {
    const std::string hex = "346749F5";
    for (int counter : {37, 10000}) {
        const std::string temporary = temporaryFileName(messageFileName({2006, 3, 8, 14, 3, 9}, counter, hex));
        EXPECT_FALSE(isStoredMessageName(temporary, hex)) << temporary;
        EXPECT_TRUE(isTemporaryFileName(temporary)) << temporary;
    }
    EXPECT_EQ(temporaryFileName("200603081403090037-0000000200000000346749F5.imap"),
              "200603081403090037-0000000200000000346749F5.partial");
    for (const char* other : {"download.partial", "200603081403090037-0000000200000000346749F5.imap",
                              "200603081403090037-00000002000000000346749F.partial"}) {
        EXPECT_FALSE(isTemporaryFileName(other)) << other;
    }
}

}  // namespace
}  // namespace rvo
