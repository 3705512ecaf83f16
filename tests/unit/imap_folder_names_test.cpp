// Which name a listed folder is stored under, as the session kind decides:
// the batch program drops "/" from the names of servers whose delimiter is
// not "/"; the library keeps it.
#include <gtest/gtest.h>

#include "engine/core/imap/imap_dialogue.h"

namespace rvo {
namespace {

class NameRecorder : public ImapDialogueHost, public ImapMailStore {
public:
    bool send(std::string_view) override { return true; }
    void readLiteral(std::uint64_t) override {}
    void log(std::string_view) override {}
    void showLine(std::string_view) override {}
    void showCaption(std::string_view) override {}
    void pause(unsigned long) override {}
    void closeConnection() override {}

    std::string localFolderName(std::string_view name) override {
        names.emplace_back(name);
        return std::string(name);
    }
    std::string folderDirectory(std::string_view local) override { return std::string(local); }
    bool ensureFolder(const std::string&, std::string&) override { return true; }
    bool listFolder(const std::string&, std::vector<std::string>&, std::string&) override { return true; }
    bool readRecords(const std::string&, std::string&, std::string&) override { return true; }
    bool appendRecords(const std::string&, std::string_view, std::string&) override { return true; }
    bool beginMessage(const std::string&, int, std::string_view, std::string&) override { return true; }
    bool writeMessage(std::string_view, std::string&) override { return true; }
    bool sameAsStored(const std::string&, std::string&) override { return false; }
    bool commitMessage(FileTime, std::string&, bool& stored, std::string&) override { return stored = true; }
    void abandonMessage() override {}

    std::vector<std::string> names;
};

std::vector<std::string> storedNames(bool keepSlash, std::string_view delimiter) {
    NameRecorder recorder;
    ImapDialogueValues values;
    values.keepSlashInFolderNames = keepSlash;
    ImapDialogue dialogue(values, recorder, recorder);
    dialogue.onLine("* OK ready\r");
    dialogue.onLine("A000 OK LOGIN done\r");
    dialogue.onLine("* LIST () " + std::string(delimiter) + " \"Work/2005\"\r");
    dialogue.onLine("A001 OK LIST done\r");
    return recorder.names;
}

TEST(ImapFolderNames, SlashIsKeptOrDroppedAsTheKindSays) {
    EXPECT_EQ(storedNames(false, "\".\""), std::vector<std::string>{"Work2005"});
    EXPECT_EQ(storedNames(true, "\".\""), std::vector<std::string>{"Work/2005"});
    EXPECT_EQ(storedNames(true, "NIL"), std::vector<std::string>{"Work/2005"});
    // With "/" as the delimiter both keep it: it makes a directory level.
    EXPECT_EQ(storedNames(false, "\"/\""), std::vector<std::string>{"Work/2005"});
}

}  // namespace
}  // namespace rvo
