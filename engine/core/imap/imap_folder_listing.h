#pragma once
// The short IMAP4 dialogue that lists a mailbox's folders for the library's
// wizard: greeting, LOGIN, LIST of every folder, LOGOUT, on the same driver
// as the migration (so an answer means the same to both). It keeps every
// folder the server lists, \Noselect ones included, under the name the
// server gives it.
//
// The outcome follows the wizard's contract: the folder count once the
// folders are listed and the conversation has ended in order; 1 when it
// ended in order without a folder; 0 after any failure, with the reason in
// errorText ("(IMAP2XRV)..."). Folders listed before a refusal are still
// returned when the conversation then ends.
//
// The joined list is bounded, since the wizard's buffer is: a list that
// would not fit in `listBytes` (its NUL included) is no list at all (0, and
// errorText says so), and nothing past the bound is kept. A name holding
// ";" (or a NUL byte) could not be told apart in the list: it is left out,
// and the log names it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/imap/imap_driver.h"
#include "engine/core/imap/imap_opening.h"

namespace rvo {

class ImapFolderListingHost {
public:
    virtual ~ImapFolderListingHost() = default;
    // Sends a whole command line; false when the connection failed (the
    // session has then ended and logged why).
    virtual bool send(std::string_view bytes) = 0;
    // From inside onLine: the next `count` bytes are a literal, handed to onLiteral.
    virtual void readLiteral(std::uint64_t count) = 0;
    virtual void log(std::string_view text) = 0;
    // The server has answered LOGOUT: the conversation is over.
    virtual void conversationEnded() = 0;
};

class ImapFolderListing : private ImapDriverClient {
public:
    static constexpr std::string_view kErrorPrefix = "(IMAP2XRV)";

    ImapFolderListing(std::string user, std::string password, std::size_t listBytes, ImapFolderListingHost& host);

    void onLine(std::string_view line);
    void onLiteral(std::string_view chunk);

    // A failure of the connection: the result becomes 0 and, unless `text`
    // is empty, errorText says why.
    void fail(std::string_view text);
    // The server closed the connection. After LOGOUT was sent this ends the
    // conversation in order; before, the listing has failed.
    void onServerClosed();

    int result() const;
    const std::vector<std::string>& folders() const { return folders_; }
    // The names joined by ";", without a trailing ";"; empty until the
    // conversation has ended in order.
    const std::string& folderList() const { return folderList_; }
    const std::string& errorText() const { return errorText_; }
    bool ended() const { return ended_; }

private:
    enum class State { Greeting, Login, List, Logout, Done };

    // ImapDriverClient
    void readLiteral(std::uint64_t count) override { host_.readLiteral(count); }
    void onGreeting(std::string_view line, bool ok) override;
    void onFolder(const ImapListEntry& entry) override { addFolder(entry.name); }
    void onUnreadableFolder(std::string_view line, const std::string& why) override;
    void onExpunge(std::uint32_t) override {}
    void onExists(std::uint32_t) override {}
    void onTransferData(const std::optional<ImapFetchResponse>&, std::string_view) override {}
    bool takesBody(const ImapFetchResponse&) override { return false; }
    void onBodyPiece(std::string_view) override {}
    void onBodyResponseEnded() override {}
    void onUntagged(std::string_view line) override;
    void onAnswered() override {}
    void onOutOfStep(std::string_view line) override;
    // Nothing after it can be read: the listing fails and the connection is closed.
    void onBroken(const std::string& what) override;
    void log(std::string_view text) override { host_.log(text); }

    void onLogin(const ImapOutcome& done);
    void onListed(const ImapOutcome& done);
    void addFolder(const std::string& name);
    void logout();
    void end();
    // False when the command could not be sent (the listing has then failed).
    bool sent(const std::optional<std::string>& line);

    std::string user_;
    std::string password_;
    std::size_t listBytes_;
    ImapFolderListingHost& host_;
    ImapDriver driver_;
    State state_ = State::Greeting;
    bool failed_ = false;
    bool ended_ = false;
    std::vector<std::string> folders_;
    std::size_t listLength_ = 0;  // of the names joined, without the NUL
    bool tooLong_ = false;
    std::size_t leftOut_ = 0;  // names holding ";" or NUL
    std::string folderList_;
    std::string errorText_;
};

}  // namespace rvo
