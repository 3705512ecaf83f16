#include "engine/core/imap/imap_dialogue.h"

#include <algorithm>
#include <utility>

#include "engine/core/log/log_format.h"
#include "engine/core/net/line_assembler.h"
#include "engine/core/store/message_names.h"
#include "engine/core/store/store_layout.h"
#include "engine/core/text/ascii.h"
#include "engine/core/text/numbers.h"

namespace rvo {

namespace {

std::string withoutCarriageReturns(std::string_view text) {
    std::string out(text);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    return out;
}

}  // namespace

ImapDialogue::ImapDialogue(ImapDialogueValues values, ImapDialogueHost& host, ImapMailStore& store)
    : values_(std::move(values)), host_(host), store_(store) {}

void ImapDialogue::onLine(std::string_view line) {
    if (state_ == State::Done) return;
    reader_.onLine(line);
}

void ImapDialogue::leaveForNextRun(std::string_view reason) {
    if (!incomplete_) firstReason_ = reason;
    incomplete_ = true;
}

std::string ImapDialogue::summary() const {
    std::string text = "Messages stored: " + std::to_string(storedCount_) +
                       ", recognised as stored: " + std::to_string(recognised_) +
                       ", failed: " + std::to_string(failed_) + "; ";
    if (result() == 0) return text + "the account is migrated";
    std::string why;
    if (failed_ > 0 && firstReason_.empty()) {
        why = "messages could not be copied";
    } else if (!firstReason_.empty()) {
        why = firstReason_;
    } else if (!logoutAcknowledged_) {
        why = "the session ended before the server acknowledged LOGOUT";
    } else {
        why = "the walk over the folders did not finish";
    }
    return text + "the account is left for the next run: " + why;
}

void ImapDialogue::onProtocolError(const std::string& what) {
    log(what + "; the session ends");
    leaveForNextRun("the server broke the protocol");
    abandon();
    state_ = State::Done;
    host_.closeConnection();
}

void ImapDialogue::onLiteral(std::string_view chunk, bool) {
    if (state_ == State::Done) return;
    reader_.onLiteral(chunk);
}

void ImapDialogue::abandon() {
    if (messageOpen_) store_.abandonMessage();
    messageOpen_ = false;
}

bool ImapDialogue::takesLiteral(const ImapResponse& soFar, std::uint64_t) {
    // Only the body of the message being fetched goes to its file.
    if (state_ != State::Body || !messageOpen_ || bodyStarted_) return false;
    const std::optional<ImapFetchResponse> fetch = parseFetchResponse(soFar);
    if (!fetch || !isCurrentMessage(fetch->number)) return false;
    const ImapFetchItem* item = fetch->last();
    if (!item || item->value.kind != ImapToken::Kind::PendingLiteral || !startsWithIgnoringCase(item->name, "BODY[]") ||
        item->name.size() != 6) {
        return false;
    }
    startBody();
    return true;
}

void ImapDialogue::handleResponse() {
    const std::string line = response().front().bytes;
    if (isUntagged(line, "BYE") && state_ != State::Greeting && state_ != State::Logout) {
        // The server is leaving; its close ends the session.
        log(line);
        return;
    }
    if (selected_ && onMailboxSize(line)) return;
    switch (state_) {
        case State::Greeting:
            return onGreeting(line);
        case State::Login:
            return onLogin(line);
        case State::List:
            return onList(line);
        case State::Select:
            return onSelect(line);
        case State::Search:
            return onSearch(line);
        case State::InternalDate:
            return onInternalDate(line);
        case State::Body:
            return onBody(line);
        case State::Store:
            return onStore(line);
        case State::Logout:
            return onLogout(line);
        case State::Done:
            return;
    }
}

bool ImapDialogue::isCurrentMessage(std::string_view number) const {
    const std::optional<std::uint32_t> n = parsePositiveNumber(number);
    return n && *n == currentNumber_;
}

bool ImapDialogue::onMailboxSize(std::string_view line) {
    if (const std::optional<std::uint32_t> gone = untaggedCount(line, "EXPUNGE")) {
        // Every later message moves down by one; the expunged one is gone.
        log(line);
        if (exists_ > 0) --exists_;
        std::deque<std::uint32_t> renumbered;
        for (const std::uint32_t n : messageIds_)
            if (n != *gone) renumbered.push_back(n > *gone ? n - 1 : n);
        messageIds_ = std::move(renumbered);
        if (currentNumber_ == *gone) {
            currentExpunged_ = true;
        } else if (currentNumber_ > *gone) {
            --currentNumber_;
        }
        return true;
    }
    if (const std::optional<std::uint32_t> exists = untaggedCount(line, "EXISTS")) {
        // The SEARCH result is what this run transfers; numbers announced
        // later would be fetched by a stale count, so they wait for the next run.
        if (*exists > exists_ && transferPass_ && !newMessagesNoted_) {
            log("New messages arrived in the MailBox '" + folder_.shownName +
                "' during the transfer; they are left for the next run");
            newMessagesNoted_ = true;
            leaveForNextRun("new messages arrived during the transfer");
        }
        exists_ = *exists;
        return true;
    }
    return false;
}

void ImapDialogue::outOfStep(std::string_view line) {
    // A completion of no command we sent: the dialogue cannot tell where it stands.
    log(line);
    leaveForNextRun("the server answered out of step");
    logout();
}

void ImapDialogue::onGreeting(std::string_view line) {
    if (opening_.onResponse(response()) != ImapOpening::Event::Greeted) {
        log(line);
        logout();
        return;
    }
    show("Connected");
    log(withoutCarriageReturns(line));
    sendLogin();
}

void ImapDialogue::sendLogin() {
    const std::optional<ImapCommand> login = ImapOpening::loginCommand(values_.account.user, values_.account.password);
    if (!login) {
        log(kLoginNotSent);
        leaveForNextRun("the user name or password cannot be sent");
        logout();
        return;
    }
    if (!send(login->bytes)) return;
    log(login->logged);
    show("Sending Login information");
    state_ = State::Login;
    opening_.inFlight(ImapOpening::Step::Login);
}

template <typename Ok, typename Refused>
void ImapDialogue::onCompletion(std::string_view line, std::string_view tag, Ok ok, Refused refused) {
    switch (taggedStatus(line, tag)) {
        case ImapStatus::Ok:
            return ok();
        case ImapStatus::No:
        case ImapStatus::Bad:
            log(line);
            return refused();
        case ImapStatus::None:
            if (isTagged(line)) outOfStep(line);
            return;
    }
}

void ImapDialogue::onLogin(std::string_view line) {
    switch (opening_.onResponse(response())) {
        case ImapOpening::Event::LoggedIn:
            return sendList();
        case ImapOpening::Event::LoginRefused:
            log(line);
            leaveForNextRun("the server refused the login");
            return logout();
        case ImapOpening::Event::OutOfStep:
            return outOfStep(line);
        default:
            return;
    }
}

bool ImapDialogue::sendListCommand() {
    listedFolders_.clear();
    const ImapCommand list = ImapOpening::listCommand();
    if (!send(list.bytes)) return false;
    state_ = State::List;
    opening_.inFlight(ImapOpening::Step::List);
    return true;
}

void ImapDialogue::sendList() {
    if (!sendListCommand()) return;
    show("Login succeeded");
    show("Please wait while we get total number of emails to download");
    log(ImapOpening::listCommand().logged);
}

void ImapDialogue::onList(std::string_view line) {
    switch (opening_.onResponse(response())) {
        case ImapOpening::Event::Folder:
            return addFolder(opening_.folder());
        case ImapOpening::Event::UnreadableFolder:
            log("Could not read the folder in \"" + std::string(line) + "\": " + opening_.why());
            leaveForNextRun("a folder could not be read from the list");
            return;
        case ImapOpening::Event::Listed:
            if (transferPass_) show(kBanner);
            return selectNextFolder();
        case ImapOpening::Event::ListRefused:
            log(line);
            leaveForNextRun("the folder list failed");
            return logout();
        case ImapOpening::Event::OutOfStep:
            return outOfStep(line);
        default:
            return;
    }
}

void ImapDialogue::addFolder(const ImapListEntry& entry) {
    listedFolders_.insert(entry.name);
    if (!entry.selectable()) return;
    Folder folder{entry.name, entry.name};
    // Without "/" as the hierarchy delimiter a "/" is part of one folder's
    // name; it must not make a directory level.
    if (entry.delimiter != "/" && !values_.keepSlashInFolderNames) std::erase(folder.shownName, '/');
    if (transferPass_) show(folder.shownName);
    folders_.push_back(std::move(folder));
}

bool ImapDialogue::isExcluded(const Folder& folder) const {
    return values_.settings.isExcluded(folder.serverName) || values_.settings.isExcluded(folder.shownName);
}

void ImapDialogue::selectNextFolder() {
    for (;;) {
        messageIds_.clear();
        if (folders_.empty()) {
            if (passCount_ == 0 || transferPass_) {
                walkComplete_ = true;
                logout();
            } else {
                beginSecondPass();
            }
            return;
        }
        folder_ = std::move(folders_.front());
        folders_.pop_front();
        if (isExcluded(folder_)) {
            if (transferPass_) {
                const std::string text = "Skipping the MailBox '" + folder_.shownName + "'";
                log(text);
                show(text);
            }
            continue;
        }
        localFolder_ = store_.localFolderName(folder_.shownName);
        if (const std::optional<std::string> problem = folderNameProblem(localFolder_)) {
            log("The MailBox '" + folder_.shownName + "' cannot be stored: " + *problem);
            leaveForNextRun("a folder cannot be stored");
            continue;
        }
        const std::optional<std::string> quoted = imapQuoted(folder_.serverName);
        if (!quoted) {
            log("The MailBox '" + folder_.shownName + "' cannot be selected: its name holds a line break or NUL byte");
            leaveForNextRun("a folder cannot be selected");
            continue;
        }
        folderDirectory_ = store_.folderDirectory(localFolder_);
        if (transferPass_) noteSharedDirectory();
        selected_ = false;
        uidValidity_ = exists_ = 0;
        newMessagesNoted_ = false;
        if (!send("A002 SELECT " + *quoted + "\r\n")) return;
        log("A002 SELECT " + *quoted);
        if (transferPass_) show("Selecting the MailBox '" + folder_.shownName + "'");
        state_ = State::Select;
        return;
    }
}

void ImapDialogue::noteSharedDirectory() {
    // Windows ignores letter case: "Work" and "work" are one directory, and
    // the records keep their messages apart there.
    std::string key = folderDirectory_;
    for (char& c : key) c = c == '/' ? '\\' : asciiUpper(c);
    const auto [owner, first] = directoryOwners_.try_emplace(key, folder_.shownName);
    if (!first) {
        log("The MailBox '" + folder_.shownName + "' is stored together with the MailBox '" + owner->second +
            "' in " + folderDirectory_);
    }
}

void ImapDialogue::beginSecondPass() {
    transferPass_ = true;
    totalMessages_ = passCount_;
    passCount_ = 0;
    if (!sendListCommand()) return;
    show("Retrieving List of Folder Names");
    show(kBanner);
}

void ImapDialogue::onSelect(std::string_view line) {
    if (const std::optional<std::uint32_t> exists = untaggedCount(line, "EXISTS")) {
        exists_ = *exists;
        return;
    }
    if (const std::optional<std::uint32_t> validity = responseCodeNumber(line, "UIDVALIDITY")) {
        uidValidity_ = *validity;
        return;
    }
    onCompletion(
        line, "A002",
        [this] {
            selected_ = true;
            const std::string_view command =
                values_.settings.migrateDeleted ? "A003 SEARCH ALL" : "A003 SEARCH NOT DELETED";
            if (!send(std::string(command) + "\r\n")) return;
            log(command);
            if (transferPass_) show("SEARCHING MAILBOX " + folder_.shownName);
            state_ = State::Search;
        },
        [this] {
            leaveForNextRun("a folder could not be selected");
            selectNextFolder();
        });
}

void ImapDialogue::onSearch(std::string_view line) {
    if (isUntagged(line, "SEARCH")) {
        std::vector<std::string> numbers;
        std::vector<std::string> ignored;
        parseSearchResponse(line, numbers, ignored);
        for (const std::string& number : numbers) messageIds_.push_back(*parsePositiveNumber(number));
        if (!ignored.empty()) {
            std::string text = "Ignoring what is not a message number in the SEARCH result:";
            for (const std::string& piece : ignored) text += " " + piece;
            log(text);
        }
        return;
    }
    onCompletion(line, "A003", [this] { searchCompleted(); }, [this] {
        leaveForNextRun("a folder could not be searched");
        selectNextFolder();
    });
}

void ImapDialogue::searchCompleted() {
    const int found = static_cast<int>(messageIds_.size());
    bool folderReady = true;
    // Directories exist from the counting pass on, so every folder's is there
    // before the first message is fetched.
    if (found > 0 || values_.settings.createEmpty) {
        std::string error;
        if (!store_.ensureFolder(folderDirectory_, error)) {
            log(error);
            leaveForNextRun("a folder directory could not be created");
            folderReady = false;
        }
    }
    passCount_ += found;
    if (messageNumber_ == 0 && totalMessages_ > 0) messageNumber_ = 1;
    if (found > 0 && transferPass_ && folderReady) {
        if (!loadStoredFolder()) {
            leaveForNextRun("a folder directory could not be listed");
            return selectNextFolder();
        }
        showCaptionForMessage();
        return fetchNextMessage();
    }
    selectNextFolder();
}

bool ImapDialogue::loadStoredFolder() {
    std::vector<std::string> names;
    std::string records;
    std::string error;
    if (!store_.listFolder(folderDirectory_, names, error)) {
        log(error);
        return false;
    }
    if (!store_.readRecords(folderDirectory_, records, error)) {
        log(error + "; the folder's messages are compared with the stored files instead");
        records.clear();
    }
    recordsExist_ = !records.empty();
    stored_.load(names, records);
    return true;
}

void ImapDialogue::showCaptionForMessage() {
    host_.showCaption(formatMessageCaption(values_.captionFormat, localFolder_, messageNumber_, totalMessages_));
}

void ImapDialogue::fetchNextMessage() {
    if (messageIds_.empty()) return selectNextFolder();
    currentNumber_ = messageIds_.front();
    messageIds_.pop_front();
    currentUid_ = 0;
    currentExpunged_ = false;
    candidates_.clear();
    messageTime_.reset();
    if (!send("I001 FETCH " + std::to_string(currentNumber_) + " (INTERNALDATE UID)\r\n")) return;
    state_ = State::InternalDate;
}

void ImapDialogue::onInternalDate(std::string_view line) {
    if (line.starts_with("* ")) {
        const std::optional<ImapFetchResponse> fetch = parseFetchResponse(response());
        const bool current = fetch && isCurrentMessage(fetch->number);
        const ImapFetchItem* date = current ? fetch->find("INTERNALDATE") : nullptr;
        const ImapFetchItem* uid = current ? fetch->find("UID") : nullptr;
        if (uid && uid->value.kind == ImapToken::Kind::Atom) {
            if (const std::optional<std::uint32_t> n = parsePositiveNumber(uid->value.text)) currentUid_ = *n;
        }
        if (!date) {
            if (!uid) log(line);
            return;
        }
        std::optional<CivilTime> civil;
        if (date->value.kind == ImapToken::Kind::String) civil = parseInternalDate(date->value.text);
        if (civil) messageTime_ = internalDateToFileTime(*civil, values_.timeZoneBiasMinutes);
        if (!messageTime_) log("Unusable INTERNALDATE: " + std::string(line));
        return;
    }
    onCompletion(
        line, "I001", [this] { currentExpunged_ ? messageGone() : decideStore(); },
        [this] { currentExpunged_ ? messageGone() : messageFailed(); });
}

void ImapDialogue::decideStore() {
    showCaptionForMessage();
    const std::string number = std::to_string(currentNumber_);
    if (!messageTime_) {
        log("Message " + number + " has no usable INTERNALDATE; it is dated 01/01/1980 00:00:00");
        messageTime_ = fallbackMessageTime();
    }
    storeTime_ = *messageTime_;
    dateHex_ = dateHex(storeTime_);
    const MessageIdentity id = identity();
    if (stored_.fileHolding(id)) return skipStored();
    // Files of the slot that no record ties to another message may hold this
    // one; the body decides, before anything is committed.
    candidates_ = stored_.candidates(dateHex_, id, [this](std::string_view folder) {
        return listedFolders_.count(std::string(folder)) != 0;
    });
    std::string error;
    if (!store_.beginMessage(folderDirectory_, messageNumber_, dateHex_, error)) {
        log(error);
        return messageFailed();
    }
    messageOpen_ = true;
    bodyStarted_ = bodyComplete_ = bodyFailed_ = lastWasCarriageReturn_ = false;
    bodyError_.clear();
    const std::string command = "A004 FETCH " + number + " (BODY.PEEK[])";
    if (!send(command + "\r\n")) return;
    show("FETCHING EMAIL " + number);
    log(command);
    state_ = State::Body;
}

void ImapDialogue::skipStored() {
    ++recognised_;
    log("Skipping message #" + std::to_string(messageNumber_));
    ++messageNumber_;
    fetchNextMessage();
}

void ImapDialogue::messageGone() {
    // Deleted by someone else before this run could copy it: nothing to keep.
    abandon();
    log("Message " + std::to_string(currentNumber_) + " was expunged on the server before it was copied");
    advanceCapped();
    fetchNextMessage();
}

void ImapDialogue::startBody() {
    bodyStarted_ = true;
    if (!store_.writeMessage(imapHeaderLine(dateHex_) + "\r\n", bodyError_)) bodyFailed_ = true;
}

void ImapDialogue::writeBody(std::string_view bytes) {
    if (bodyFailed_ || bytes.empty()) return;
    // Only the line end is the file's own: each line ends in CR LF, so a
    // bare LF gets its CR; every other byte is the message's and stays.
    const auto put = [this](std::string_view piece) {
        if (!bodyFailed_ && !piece.empty() && !store_.writeMessage(piece, bodyError_)) bodyFailed_ = true;
    };
    std::size_t start = 0;
    for (std::size_t lf = bytes.find('\n'); lf != std::string_view::npos; lf = bytes.find('\n', lf + 1)) {
        const bool hasCarriageReturn = lf > 0 ? bytes[lf - 1] == '\r' : lastWasCarriageReturn_;
        if (hasCarriageReturn) continue;
        put(bytes.substr(start, lf - start));
        put("\r\n");
        start = lf + 1;
    }
    put(bytes.substr(start));
    lastWasCarriageReturn_ = bytes.back() == '\r';
}

void ImapDialogue::onBody(std::string_view line) {
    if (line.starts_with("* ")) {
        if (reader_.literalTaken()) {
            bodyComplete_ = true;
            return;
        }
        const std::optional<ImapFetchResponse> fetch = parseFetchResponse(response());
        if (!fetch || !isCurrentMessage(fetch->number) || bodyStarted_) return;
        const ImapFetchItem* item = fetch->find("BODY[]");
        if (item && item->value.kind == ImapToken::Kind::String) {
            // A body sent as a quoted string (or a literal read whole).
            startBody();
            writeBody(item->value.text);
            bodyComplete_ = true;
        }
        return;
    }
    onCompletion(line, "A004", [this] { endMessage(); }, [this] {
        abandon();
        currentExpunged_ ? messageGone() : messageFailed();
    });
}

void ImapDialogue::endMessage() {
    if (!bodyComplete_ || bodyFailed_) {
        if (currentExpunged_ && !bodyFailed_) return messageGone();
        log(bodyFailed_ ? bodyError_ : "The server sent no body for message " + std::to_string(currentNumber_));
        abandon();
        return messageFailed();
    }
    // The line where the closing parenthesis stood: empty after a final line
    // end, else it ends the message's unfinished last line.
    std::string error;
    if (!store_.writeMessage("\r\n", error)) {
        log(error);
        abandon();
        return messageFailed();
    }
    if (matchesStoredCopy()) return;
    advanceCapped();
    std::string name;
    bool stored = false;
    messageOpen_ = false;
    if (!store_.commitMessage(storeTime_, name, stored, error)) {
        log(error);
        if (!stored) {
            store_.abandonMessage();
            leaveForNextRun("a message file could not be stored");
            return fetchNextMessage();
        }
    }
    ++storedCount_;
    stored_.addFile(name);
    record(name);
    // Only a stored message may be flagged for deletion, and only by a
    // number that is still its own.
    if (values_.settings.markDeleted && !currentExpunged_) {
        if (!send("A005 STORE " + std::to_string(currentNumber_) + " +FLAGS (\\Deleted)\r\n")) return;
        state_ = State::Store;
        return;
    }
    fetchNextMessage();
}

bool ImapDialogue::matchesStoredCopy() {
    for (const std::string& name : candidates_) {
        std::string error;
        if (store_.sameAsStored(name, error)) {
            abandon();
            record(name);
            skipStored();
            return true;
        }
        // Unreadable: storing the message again is better than losing it.
        if (!error.empty()) log(error);
    }
    return false;
}

void ImapDialogue::record(const std::string& fileName) {
    const MessageIdentity id = identity();
    if (!id.known()) return;
    const MessageRecord entry{id, fileName};
    stored_.addRecord(entry);
    const std::string lines = (recordsExist_ ? std::string() : recordFileHeader()) + formatRecord(entry);
    std::string error;
    if (store_.appendRecords(folderDirectory_, lines, error)) {
        recordsExist_ = true;
    } else {
        log(error + "; the next run compares the message's contents instead");
    }
}

void ImapDialogue::messageFailed() {
    ++failed_;
    incomplete_ = true;
    advanceCapped();
    fetchNextMessage();
}

void ImapDialogue::advanceCapped() {
    if (messageNumber_ < totalMessages_) ++messageNumber_;
}

void ImapDialogue::onStore(std::string_view line) {
    // Refused or not, the message is stored; at worst its deletion flag is missing.
    onCompletion(line, "A005", [this] { fetchNextMessage(); }, [this] { fetchNextMessage(); });
}

void ImapDialogue::logout() {
    abandon();
    selected_ = false;
    if (!send("A006 LOGOUT\r\n")) return;
    show("Logging out");
    log("A006 LOGOUT");
    state_ = State::Logout;
}

void ImapDialogue::onLogout(std::string_view line) {
    switch (taggedStatus(line, "A006")) {
        case ImapStatus::Ok:
            host_.pause(values_.logoutPauseMs);
            show("Disconnected");
            log(line);
            logoutAcknowledged_ = true;
            // The server closes the connection; that ends the session.
            state_ = State::Done;
            return;
        case ImapStatus::No:
        case ImapStatus::Bad:
            log(line);
            host_.closeConnection();
            state_ = State::Done;
            return;
        case ImapStatus::None:
            log(line);
            if (isTagged(line)) {
                host_.closeConnection();
                state_ = State::Done;
            }
            return;
    }
}

bool ImapDialogue::send(std::string_view bytes) {
    if (host_.send(bytes)) return true;
    abandon();
    state_ = State::Done;
    return false;
}

}  // namespace rvo
