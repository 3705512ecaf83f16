// Server bytes into a whole IMAP migration: response reading with literals,
// LIST, SEARCH, FETCH and the store decision, against a store that keeps
// nothing. The first byte picks the piece size the bytes arrive in, the
// switches and the window (1, 6, 11 or 16 commands in flight), so splits and
// settings are explored with the transcript.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/imap/imap_dialogue.h"
#include "engine/core/net/line_assembler.h"

namespace {

using namespace rvo;

class NullStore : public ImapMailStore {
public:
    std::string localFolderName(std::string_view name) override { return std::string(name); }
    std::string folderDirectory(std::string_view local) override { return "M\\" + std::string(local); }
    bool ensureFolder(const std::string&, std::string&) override { return true; }
    bool listFolder(const std::string&, std::vector<std::string>& names, std::string&) override {
        names = {"200603081403090001-0000000200000000346749F5.imap"};
        return true;
    }
    bool readRecords(const std::string&, std::string& text, std::string&) override {
        text = "1 1001 200603081403090001-0000000200000000346749F5.imap INBOX\r\n";
        return true;
    }
    bool appendRecords(const std::string&, std::string_view, std::string&) override { return true; }
    bool beginMessage(const std::string&, int, std::string_view, std::string&) override { return true; }
    bool writeMessage(std::string_view, std::string&) override { return true; }
    bool sameAsStored(const std::string&, std::string&) override { return false; }
    bool commitMessage(FileTime, std::string& name, bool& stored, std::string&) override {
        name = "200603081403090002-0000000200000000346749F5.imap";
        return stored = true;
    }
    void abandonMessage() override {}
};

class Session : public ImapDialogueHost, public LineConsumer {
public:
    explicit Session(ImapDialogueValues values) : dialogue_(std::move(values), *this, store_) {}
    bool feed(std::string_view bytes) { return assembler_.feed(bytes, *this); }
    ImapDialogue& dialogue() { return dialogue_; }

    bool send(std::string_view) override { return true; }
    void readLiteral(std::uint64_t count) override { assembler_.expectLiteral(count); }
    void log(std::string_view) override {}
    void showLine(std::string_view) override {}
    void showCaption(std::string_view) override {}
    void pause(unsigned long) override {}
    void closeConnection() override {}
    void onLine(std::string_view line) override { dialogue_.onLine(line); }
    void onLiteral(std::string_view chunk, bool last) override { dialogue_.onLiteral(chunk, last); }

private:
    NullStore store_;
    ImapDialogue dialogue_;
    LineAssembler assembler_{LineEnd::KeepCarriageReturn, 64 * 1024};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned knobs = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    ImapDialogueValues values;
    values.account.user = "alice";
    values.account.password = "secret";
    values.captionFormat = "Processing [%s]\nMessage [%d] of [%d] for this User";
    values.settings.markDeleted = knobs & 1;
    values.settings.migrateDeleted = (knobs >> 1) & 1;
    values.settings.createEmpty = (knobs >> 2) & 1;
    const std::size_t piece = 1 + ((knobs >> 3) & 7);
    values.settings.pipelineDepth = 1 + static_cast<int>((knobs >> 6) & 3) * 5;
    Session session(values);
    while (!bytes.empty()) {
        const std::size_t n = bytes.size() < piece ? bytes.size() : piece;
        if (!session.feed(bytes.substr(0, n))) break;
        bytes.remove_prefix(n);
    }
    session.dialogue().abandon();
    (void)session.dialogue().summary();
    return 0;
}
