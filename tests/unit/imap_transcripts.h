#pragma once
// Scripted IMAP server transcripts and the harness that plays them to the
// dialogue: every transcript is also fed split at each byte offset and byte
// by byte, since no outcome may depend on how the bytes arrive. The fake
// store keeps its files and record files between runs (StoreState).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <set>

#include "engine/core/imap/imap_dialogue.h"
#include "engine/core/log/log_format.h"
#include "engine/core/net/line_assembler.h"
#include "engine/core/store/message_comparison.h"
#include "engine/core/store/message_names.h"

namespace rvo::test {

using Strings = std::vector<std::string>;

struct StoredFile {
    std::string directory;
    int counter = 0;
    std::string dateHex;
    std::string bytes;
    FileTime time = 0;
    std::string name;  // not compared: it carries the time of the run
    friend bool operator==(const StoredFile& a, const StoredFile& b) {
        return a.directory == b.directory && a.counter == b.counter && a.dateHex == b.dateHex && a.bytes == b.bytes &&
               a.time == b.time;
    }
};

inline std::string folded(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// What a store holds between two runs: its files and its record files.
struct StoreState {
    std::vector<StoredFile> files;
    std::map<std::string, std::string> records;  // by case-folded directory
    int named = 0;                                 // files ever committed: names never repeat
    StoreState() = default;
    StoreState(std::vector<StoredFile> f) : files(std::move(f)) {}  // records lost
};

// Directories compare without letter case, as Windows does.
class FakeStore : public ImapMailStore {
public:
    std::string localFolderName(std::string_view name) override {
        if (folded(name) == "INBOX") return "inbox";
        return folded(name) == "TRASH" ? "Deleted Items" : std::string(name);
    }
    std::string folderDirectory(std::string_view local) override { return "M\\dom\\alice\\" + std::string(local); }
    bool ensureFolder(const std::string& directory, std::string& error) override {
        if (directory.find("Locked") != std::string::npos) {
            error = "Could not create directory " + directory;
            return false;
        }
        directories.insert(directory);
        return true;
    }
    bool listFolder(const std::string& directory, std::vector<std::string>& names, std::string&) override {
        ++listings;
        names.clear();
        for (const StoredFile& f : state.files)
            if (folded(f.directory) == folded(directory)) names.push_back(f.name);
        return true;
    }
    bool readRecords(const std::string& directory, std::string& text, std::string&) override {
        const auto found = state.records.find(folded(directory));
        text = found == state.records.end() ? std::string() : found->second;
        return true;
    }
    bool appendRecords(const std::string& directory, std::string_view lines, std::string& error) override {
        if (refuseRecords) {
            error = "Could not write the record file";
            return false;
        }
        state.records[folded(directory)] += lines;
        return true;
    }
    bool beginMessage(const std::string& directory, int counter, std::string_view hex, std::string& error) override {
        EXPECT_FALSE(open);
        if (counter == refuseCounter) {
            error = "Could not create message file " + std::to_string(counter);
            return false;
        }
        open = true;
        current = StoredFile{directory, counter, std::string(hex), {}, 0, {}};
        return true;
    }
    bool writeMessage(std::string_view bytes, std::string& error) override {
        EXPECT_TRUE(open);
        if (current.counter == diskFullCounter) {
            error = "Could not write message file: disk full";
            return false;
        }
        current.bytes.append(bytes);
        largestWrite = std::max(largestWrite, bytes.size());
        return true;
    }
    bool sameAsStored(const std::string& name, std::string&) override {
        EXPECT_TRUE(open);
        ++comparisons;
        for (const StoredFile& f : state.files)
            if (folded(f.directory) == folded(current.directory) && f.name == name)
                return sameMessageContent(f.bytes, current.bytes);
        return false;
    }
    bool commitMessage(FileTime time, std::string& name, bool& stored, std::string&) override {
        EXPECT_TRUE(open);
        open = false;
        current.time = time;
        current.name = messageFileName(CivilTime{2026, 1, 1, 0, 0, 0}, ++state.named, current.dateHex);
        name = current.name;
        state.files.push_back(current);
        stored = true;
        return true;
    }
    void abandonMessage() override {
        open = false;
        ++abandoned;
    }

    StoreState state;
    std::set<std::string> directories;
    StoredFile current;
    bool open = false;
    bool refuseRecords = false;
    int refuseCounter = -1;
    int diskFullCounter = -1;
    int abandoned = 0;
    int comparisons = 0;
    int listings = 0;
    std::size_t largestWrite = 0;
};

struct Outcome {
    Strings sent, logged, shown, captions;
    std::vector<StoredFile> files;
    StoreState state;
    int comparisons = 0;
    std::set<std::string> directories;
    int result = -1;
    int pauses = 0;
    bool closed = false;
    bool fileOpen = false;
    // As the session would settle it with nothing seen on the connection.
    SessionEnding ending;
    friend bool operator==(const Outcome& a, const Outcome& b) {
        return a.sent == b.sent && a.logged == b.logged && a.shown == b.shown && a.captions == b.captions &&
               a.files == b.files && a.state.records == b.state.records && a.comparisons == b.comparisons &&
               a.directories == b.directories && a.result == b.result && a.pauses == b.pauses &&
               a.closed == b.closed && a.fileOpen == b.fileOpen && a.ending.end == b.ending.end &&
               a.ending.reason == b.ending.reason && a.ending.lastRefusal == b.ending.lastRefusal &&
               a.ending.stored == b.ending.stored && a.ending.bytesStored == b.ending.bytesStored;
    }
    // Body fetches sent, and "Skipping message #n" lines logged.
    int bodyFetches() const {
        return static_cast<int>(std::count_if(sent.begin(), sent.end(), [](auto& c) { return c.starts_with("A004"); }));
    }
    int skips() const {
        return static_cast<int>(
            std::count_if(logged.begin(), logged.end(), [](auto& l) { return l.starts_with("Skipping message #"); }));
    }
};

class Harness : public ImapDialogueHost, private LineConsumer {
public:
    Harness(ImapDialogueValues values, FakeStore& store, std::size_t maxLineBytes = kMaxLineBytes)
        : store_(store), dialogue_(std::move(values), *this, store), assembler_(LineEnd::KeepCarriageReturn, maxLineBytes) {}

    // False when the assembler refused a line as too long.
    bool feed(std::string_view bytes) { return assembler_.feed(bytes, *this); }
    ImapDialogue& dialogue() { return dialogue_; }
    const Strings& sentSoFar() const { return out_.sent; }

    Outcome outcome() {
        out_.files = store_.state.files;
        out_.state = store_.state;
        out_.comparisons = store_.comparisons;
        out_.directories = store_.directories;
        out_.result = dialogue_.result();
        out_.fileOpen = store_.open;
        out_.ending = settleEnding(dialogue_.result(), dialogue_.ending(), EndingRecord{}, dialogue_.tally());
        return out_;
    }

    bool send(std::string_view bytes) override {
        EXPECT_TRUE(bytes.ends_with("\r\n"));
        out_.sent.emplace_back(bytes.substr(0, bytes.size() - 2));
        return true;
    }
    void readLiteral(std::uint64_t count) override { EXPECT_TRUE(assembler_.expectLiteral(count)); }
    void log(std::string_view text) override { out_.logged.emplace_back(text); }
    void showLine(std::string_view text) override { out_.shown.emplace_back(text); }
    void showCaption(std::string_view text) override { out_.captions.emplace_back(text); }
    void pause(unsigned long) override { ++out_.pauses; }
    void closeConnection() override { out_.closed = true; }

private:
    void onLine(std::string_view line) override { dialogue_.onLine(line); }
    void onLiteral(std::string_view chunk, bool last) override { dialogue_.onLiteral(chunk, last); }
    bool acceptsLongLine(std::string_view start) override { return dialogue_.acceptsLongLine(start); }
    void onLinePiece(std::string_view piece, bool last) override { dialogue_.onLinePiece(piece, last); }

    FakeStore& store_;
    ImapDialogue dialogue_;
    LineAssembler assembler_;
    Outcome out_;
};

inline ImapDialogueValues defaultValues() {
    ImapDialogueValues v;
    v.account.user = "alice";
    v.account.password = "secret";
    v.captionFormat = "Processing [%s]\nMessage [%d] of [%d] for this User";
    return v;
}

// Feeds `server` in the pieces that `cuts` mark.
inline Outcome play(const std::string& server, const ImapDialogueValues& values, const std::vector<std::size_t>& cuts = {},
             const StoreState& stored = {}, const std::function<void(FakeStore&)>& setUp = {}) {
    FakeStore store;
    store.state = stored;
    if (setUp) setUp(store);
    Harness harness(values, store);
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        harness.feed(std::string_view(server).substr(from, cut - from));
        from = cut;
    }
    harness.feed(std::string_view(server).substr(from));
    return harness.outcome();
}

inline Outcome playEverySplit(const std::string& server, const ImapDialogueValues& values = defaultValues(),
                       const StoreState& stored = {}, const std::function<void(FakeStore&)>& setUp = {}) {
    const Outcome whole = play(server, values, {}, stored, setUp);
    for (std::size_t cut = 1; cut < server.size(); ++cut) {
        const Outcome split = play(server, values, {cut}, stored, setUp);
        if (!(split == whole)) {
            ADD_FAILURE() << "outcome differs when split at byte " << cut << " of " << server.size();
            break;
        }
    }
    std::vector<std::size_t> everyByte(server.size() > 0 ? server.size() - 1 : 0);
    for (std::size_t i = 0; i < everyByte.size(); ++i) everyByte[i] = i + 1;
    EXPECT_TRUE(play(server, values, everyByte, stored, setUp) == whole) << "outcome differs when fed byte by byte";
    return whole;
}

// --- server side of the transcripts, in Dovecot's words ------------------

inline const std::string kGreeting = "* OK [CAPABILITY IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+] Dovecot ready.\r\n";
inline const std::string kLoginOk = "A000 OK [CAPABILITY IMAP4rev1 SASL-IR SORT THREAD=REFERENCES] Logged in\r\n";
inline const std::string kListOk = "A001 OK List completed (0.001 + 0.000 secs).\r\n";
inline const std::string kLogoutOk = "* BYE Logging out\r\nA006 OK Logout completed (0.001 + 0.000 secs).\r\n";

inline std::string selectOk(int exists, const std::string& uidValidity = "1700000000") {
    return "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] "
           "Flags permitted.\r\n* " +
           std::to_string(exists) + " EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY " + uidValidity +
           "] UIDs valid\r\nA002 OK [READ-WRITE] Select completed (0.002 + 0.000 secs).\r\n";
}
inline std::string searchResult(const std::string& numbers) {
    return "* SEARCH" + (numbers.empty() ? "" : " " + numbers) + "\r\nA003 OK Search completed (0.001 + 0.000 secs).\r\n";
}
// The UID is 1000 + the message number unless given.
inline std::string internalDate(const std::string& id, const std::string& date, std::string uid = "") {
    if (uid.empty()) uid = std::to_string(1000 + std::stoi(id));
    return "* " + id + " FETCH (INTERNALDATE \"" + date + "\" UID " + uid +
           ")\r\nI001 OK Fetch completed (0.001 + 0.000 secs).\r\n";
}
inline std::string body(const std::string& id, const std::string& message, const std::string& after = ")") {
    return "* " + id + " FETCH (BODY[] {" + std::to_string(message.size()) + "}\r\n" + message + after +
           "\r\nA004 OK Fetch completed (0.001 + 0.000 secs).\r\n";
}
inline std::string list(const std::string& flags, const std::string& delimiter, const std::string& name) {
    return "* LIST (" + flags + ") " + delimiter + " " + name + "\r\n";
}

// One folder, both passes, every message fetched.
inline std::string oneFolder(const std::string& listLines, const std::string& numbers, const std::string& transfer) {
    const int exists = static_cast<int>(std::count(numbers.begin(), numbers.end(), ' ')) + 1;
    return kGreeting + kLoginOk + listLines + kListOk + selectOk(exists) + searchResult(numbers) + listLines +
           kListOk + selectOk(exists) + searchResult(numbers) + transfer + kLogoutOk;
}

inline std::string header(FileTime time) { return imapHeaderLine(dateHex(time)) + "\r\n"; }

inline FileTime at(int year, int month, int day, int hour, int minute, int second) {
    return *fileTimeFromCivil({year, month, day, hour, minute, second});
}

inline const std::string kInbox = list("\\HasNoChildren", "\"/\"", "INBOX");
inline const std::string kMessage1 = "From: a@example.com\r\nSubject: one\r\n\r\nHello\r\n";
inline const std::string kMessage2 = "From: b@example.com\r\nSubject: two\r\n\r\nBye\r\n";

}  // namespace rvo::test
