#include "engine/core/imap/imap_folder_listing.h"

#include <utility>

namespace rvo {

namespace {

constexpr std::string_view kLogoutTag = "A002";
// Names left out for their ";" that are logged one by one; the rest are counted.
constexpr std::size_t kLeftOutNamesLogged = 100;

bool isStatusResponse(std::string_view line) {
    for (const std::string_view word : {"OK", "NO", "BAD", "BYE", "PREAUTH"})
        if (isUntagged(line, word)) return true;
    return false;
}

}  // namespace

ImapFolderListing::ImapFolderListing(std::string user, std::string password, std::size_t listBytes,
                                     ImapFolderListingHost& host)
    : user_(std::move(user)),
      password_(std::move(password)),
      listBytes_(listBytes),
      host_(host),
      driver_(ImapDriverValues{}, [this](std::string_view bytes) { return host_.send(bytes); }, *this) {}

void ImapFolderListing::onLine(std::string_view line) {
    if (state_ != State::Done) driver_.onLine(line);
}

void ImapFolderListing::onLiteral(std::string_view chunk) {
    if (state_ != State::Done) driver_.onLiteral(chunk);
}

void ImapFolderListing::fail(std::string_view text) {
    failed_ = true;
    if (!text.empty()) errorText_ = std::string(kErrorPrefix) + std::string(text);
}

void ImapFolderListing::onServerClosed() {
    if (state_ == State::Logout) return end();
    if (state_ == State::Done) return;
    // What was listed so far may not be every folder.
    fail("The server closed the connection before the folders were listed");
    state_ = State::Done;
}

int ImapFolderListing::result() const {
    if (!ended_) return 0;
    if (!folders_.empty()) return static_cast<int>(folders_.size());
    return failed_ ? 0 : 1;
}

void ImapFolderListing::onGreeting(std::string_view line, bool ok) {
    host_.log(line);
    if (!ok) {
        fail(line);
        return logout();
    }
    const std::optional<ImapCommand> login = ImapOpening::loginCommand(user_, password_);
    if (!login) {
        host_.log(kLoginNotSent);
        fail("The user name or password holds a line break or NUL byte");
        return logout();
    }
    if (!sent(driver_.login(*login, [this](const ImapOutcome& done) { onLogin(done); }))) return;
    state_ = State::Login;
}

void ImapFolderListing::onLogin(const ImapOutcome& done) {
    host_.log(done.line);
    if (done.result != ImapResult::Ok) {
        fail(done.status == ImapStatus::Bad ? std::string_view("Bad login attempt") : done.line);
        return logout();
    }
    if (!sent(driver_.list([this](const ImapOutcome& listed) { onListed(listed); }))) return;
    state_ = State::List;
}

void ImapFolderListing::onUnreadableFolder(std::string_view line, const std::string& why) {
    const std::string text = "Could not read the folder in \"" + std::string(line) + "\": " + why;
    host_.log(text);
    fail(text);
}

void ImapFolderListing::onListed(const ImapOutcome& done) {
    host_.log(done.line);
    if (done.result != ImapResult::Ok) fail(done.line);
    logout();
}

void ImapFolderListing::onUntagged(std::string_view line) {
    if (isStatusResponse(line)) host_.log(line);
}

void ImapFolderListing::onOutOfStep(std::string_view line) {
    host_.log(line);
    // After LOGOUT only its own answer ends the conversation.
    if (state_ == State::Logout) return;
    fail(line);
    logout();
}

void ImapFolderListing::onBroken(const std::string& what) {
    host_.log(what);
    fail(what);
    // No list: a listing cut off here is not the mailbox's folders.
    folders_.clear();
    end();
}

void ImapFolderListing::addFolder(const std::string& name) {
    if (name.find_first_of(std::string_view(";\0", 2)) != std::string::npos) {
        // A mailbox can hold many such names; the first ones say enough.
        if (++leftOut_ <= kLeftOutNamesLogged) {
            const bool nul = name.find('\0') != std::string::npos;
            host_.log(nul ? std::string("A folder whose name holds a NUL byte is left out of the list")
                          : "The folder \"" + name + "\" is left out of the list: its name holds \";\"");
        }
        return;
    }
    if (tooLong_) return;
    const std::size_t length = listLength_ + (folders_.empty() ? 0 : 1) + name.size();
    if (length >= listBytes_) {
        tooLong_ = true;
        // None is returned, so none needs keeping.
        std::vector<std::string>().swap(folders_);
        const std::string text = "The folder list is longer than " +
                                 std::to_string(listBytes_ > 0 ? listBytes_ - 1 : 0) + " characters";
        host_.log(text);
        fail(text);
        return;
    }
    listLength_ = length;
    folders_.push_back(name);
}

void ImapFolderListing::logout() {
    // Any answer to LOGOUT ends the conversation; a refusal too, since
    // nothing is left to ask.
    if (!sent(driver_.logout(
            [this](const ImapOutcome& done) {
                host_.log(done.line);
                end();
            },
            kLogoutTag))) {
        return;
    }
    state_ = State::Logout;
}

void ImapFolderListing::end() {
    if (ended_) return;
    ended_ = true;
    state_ = State::Done;
    if (leftOut_ > kLeftOutNamesLogged)
        host_.log(std::to_string(leftOut_ - kLeftOutNamesLogged) +
                  " more folders whose names hold \";\" or a NUL byte were left out of the list");
    for (std::size_t i = 0; i < folders_.size(); ++i) {
        if (i > 0) folderList_ += ';';
        folderList_ += folders_[i];
    }
    host_.conversationEnded();
}

bool ImapFolderListing::sent(const std::optional<std::string>& line) {
    if (line) {
        host_.log(*line);
        return true;
    }
    failed_ = true;
    state_ = State::Done;
    return false;
}

}  // namespace rvo
