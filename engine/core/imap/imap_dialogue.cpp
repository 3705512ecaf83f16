#include "engine/core/imap/imap_dialogue.h"

#include <algorithm>
#include <utility>

#include "engine/core/log/log_format.h"
#include "engine/core/store/message_names.h"
#include "engine/core/store/store_layout.h"

namespace rvo {

namespace {

// Literals other than message bodies (folder names, mostly) are kept in
// memory up to this much per response; more is read past and dropped.
constexpr std::uint64_t kCollectLimit = 1024 * 1024;

constexpr std::string_view kListCommand = "A001 LIST \"\" \"*\"";

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
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!responseOpen_) {
        response_.clear();
        collectedBytes_ = 0;
        streamedBody_ = false;
        literalsAllowed_ = mayCarryLiterals(line);
    }
    response_.push_back({ImapResponsePart::Kind::Text, std::string(line)});
    if (literalsAllowed_) {
        if (const std::optional<std::uint64_t> size = literalMarker(line)) {
            responseOpen_ = true;
            literalSink_ = chooseLiteralSink(*size);
            response_.push_back({literalSink_ == LiteralSink::Collect ? ImapResponsePart::Kind::Literal
                                                                       : ImapResponsePart::Kind::Streamed,
                                 {}});
            if (literalSink_ == LiteralSink::Body) {
                streamedBody_ = true;
                startBody();
            }
            host_.readLiteral(*size);
            return;
        }
    }
    responseOpen_ = false;
    handleResponse();
}

void ImapDialogue::onLiteral(std::string_view chunk, bool) {
    if (state_ == State::Done) return;
    switch (literalSink_) {
        case LiteralSink::Collect:
            response_.back().bytes.append(chunk);
            break;
        case LiteralSink::Body:
            writeBody(chunk);
            break;
        case LiteralSink::Drop:
            break;
    }
}

void ImapDialogue::abandon() {
    if (messageOpen_) store_.abandonMessage();
    messageOpen_ = false;
}

ImapDialogue::LiteralSink ImapDialogue::chooseLiteralSink(std::uint64_t size) {
    if (state_ == State::Body && messageOpen_ && !bodyStarted_) {
        const std::optional<ImapFetchResponse> fetch = parseFetchResponse(response_);
        if (fetch && sameMessageNumber(fetch->number, currentMessageId_)) {
            const ImapFetchItem* item = fetch->last();
            if (item && item->value.kind == ImapToken::Kind::PendingLiteral && startsWithIgnoringCase(item->name, "BODY[]") &&
                item->name.size() == 6) {
                return LiteralSink::Body;
            }
        }
    }
    if (size > kCollectLimit - collectedBytes_) return LiteralSink::Drop;
    collectedBytes_ += size;
    return LiteralSink::Collect;
}

void ImapDialogue::handleResponse() {
    const std::string line = response_.front().bytes;
    if (isUntagged(line, "BYE") && state_ != State::Greeting && state_ != State::Logout) {
        // The server is leaving; its close ends the session.
        log(line);
        return;
    }
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

void ImapDialogue::outOfStep(std::string_view line) {
    // A completion of no command we sent: the dialogue cannot tell where it stands.
    log(line);
    incomplete_ = true;
    logout();
}

void ImapDialogue::onGreeting(std::string_view line) {
    if (!isUntagged(line, "OK")) {
        log(line);
        logout();
        return;
    }
    show("Connected");
    log(withoutCarriageReturns(line));
    sendLogin();
}

void ImapDialogue::sendLogin() {
    const std::optional<std::string> user = imapAstring(values_.account.user);
    const std::optional<std::string> password = imapAstring(values_.account.password);
    if (!user || !password) {
        log("The user name or password holds a line break or NUL byte; LOGIN is not sent");
        incomplete_ = true;
        logout();
        return;
    }
    if (!send("A000 LOGIN " + *user + " " + *password + "\r\n")) return;
    log("A000 LOGIN " + *user + " **********");
    show("Sending Login information");
    state_ = State::Login;
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
    onCompletion(line, "A000", [this] { sendList(); }, [this] {
        incomplete_ = true;
        logout();
    });
}

void ImapDialogue::sendList() {
    if (!send(std::string(kListCommand) + "\r\n")) return;
    show("Login succeeded");
    show("Please wait while we get total number of emails to download");
    log(kListCommand);
    state_ = State::List;
}

void ImapDialogue::onList(std::string_view line) {
    if (isUntagged(line, "LIST")) return addFolder();
    onCompletion(
        line, "A001",
        [this] {
            if (transferPass_) show(kBanner);
            selectNextFolder();
        },
        [this] {
            incomplete_ = true;
            logout();
        });
}

void ImapDialogue::addFolder() {
    std::string why;
    const std::optional<ImapListEntry> entry = parseListResponse(response_, why);
    if (!entry) {
        log("Could not read the folder in \"" + response_.front().bytes + "\": " + why);
        incomplete_ = true;
        return;
    }
    if (!entry->selectable()) return;
    Folder folder{entry->name, entry->name};
    // Without "/" as the hierarchy delimiter a "/" is part of one folder's
    // name; it must not make a directory level.
    if (entry->delimiter != "/" && !values_.keepSlashInFolderNames) std::erase(folder.shownName, '/');
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
            incomplete_ = true;
            continue;
        }
        const std::optional<std::string> quoted = imapQuoted(folder_.serverName);
        if (!quoted) {
            log("The MailBox '" + folder_.shownName + "' cannot be selected: its name holds a line break or NUL byte");
            incomplete_ = true;
            continue;
        }
        folderDirectory_ = store_.folderDirectory(localFolder_);
        if (!send("A002 SELECT " + *quoted + "\r\n")) return;
        log("A002 SELECT " + *quoted);
        if (transferPass_) show("Selecting the MailBox '" + folder_.shownName + "'");
        state_ = State::Select;
        return;
    }
}

void ImapDialogue::beginSecondPass() {
    transferPass_ = true;
    totalMessages_ = passCount_;
    passCount_ = 0;
    if (!send(std::string(kListCommand) + "\r\n")) return;
    state_ = State::List;
    show("Retrieving List of Folder Names");
    show(kBanner);
}

void ImapDialogue::onSelect(std::string_view line) {
    onCompletion(
        line, "A002",
        [this] {
            const std::string_view command =
                values_.settings.migrateDeleted ? "A003 SEARCH ALL" : "A003 SEARCH NOT DELETED";
            if (!send(std::string(command) + "\r\n")) return;
            log(command);
            if (transferPass_) show("SEARCHING MAILBOX " + folder_.shownName);
            state_ = State::Search;
        },
        [this] {
            incomplete_ = true;
            selectNextFolder();
        });
}

void ImapDialogue::onSearch(std::string_view line) {
    if (isUntagged(line, "SEARCH")) {
        std::vector<std::string> numbers;
        std::vector<std::string> ignored;
        parseSearchResponse(line, numbers, ignored);
        messageIds_.insert(messageIds_.end(), numbers.begin(), numbers.end());
        if (!ignored.empty()) {
            std::string text = "Ignoring what is not a message number in the SEARCH result:";
            for (const std::string& piece : ignored) text += " " + piece;
            log(text);
        }
        return;
    }
    onCompletion(line, "A003", [this] { searchCompleted(); }, [this] {
        incomplete_ = true;
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
            incomplete_ = true;
            folderReady = false;
        }
    }
    passCount_ += found;
    if (messageNumber_ == 0 && totalMessages_ > 0) messageNumber_ = 1;
    if (found > 0 && transferPass_ && folderReady) {
        showCaptionForMessage();
        return fetchNextMessage();
    }
    selectNextFolder();
}

void ImapDialogue::showCaptionForMessage() {
    host_.showCaption(formatMessageCaption(values_.captionFormat, localFolder_, messageNumber_, totalMessages_));
}

void ImapDialogue::fetchNextMessage() {
    if (messageIds_.empty()) return selectNextFolder();
    currentMessageId_ = std::move(messageIds_.front());
    messageIds_.pop_front();
    messageTime_.reset();
    if (!send("I001 FETCH " + currentMessageId_ + " (INTERNALDATE)\r\n")) return;
    state_ = State::InternalDate;
}

void ImapDialogue::onInternalDate(std::string_view line) {
    if (line.starts_with("* ")) {
        const std::optional<ImapFetchResponse> fetch = parseFetchResponse(response_);
        const ImapFetchItem* item = fetch && sameMessageNumber(fetch->number, currentMessageId_)
                                        ? fetch->find("INTERNALDATE")
                                        : nullptr;
        if (!item) {
            log(line);
            return;
        }
        std::optional<CivilTime> date;
        if (item->value.kind == ImapToken::Kind::String) date = parseInternalDate(item->value.text);
        if (date) messageTime_ = internalDateToFileTime(*date, values_.timeZoneBiasMinutes);
        if (!messageTime_) log("Unusable INTERNALDATE: " + std::string(line));
        return;
    }
    onCompletion(line, "I001", [this] { decideStore(); }, [this] { messageFailed(); });
}

void ImapDialogue::decideStore() {
    showCaptionForMessage();
    if (!messageTime_) {
        log("Message " + currentMessageId_ + " has no usable INTERNALDATE; it is dated 01/01/1980 00:00:00");
        messageTime_ = fallbackMessageTime();
    }
    storeTime_ = *messageTime_;
    dateHex_ = dateHex(storeTime_);
    // The k-th message of a two-second slot is stored already only when at
    // least k files of that slot lie in the folder.
    const int slotIndex = ++slotCounts_[{folderDirectory_, dateHex_}];
    if (store_.countStored(folderDirectory_, dateHex_) >= slotIndex) {
        log("Skipping message #" + std::to_string(messageNumber_));
        ++messageNumber_;
        return fetchNextMessage();
    }
    std::string error;
    if (!store_.beginMessage(folderDirectory_, messageNumber_, dateHex_, error)) {
        log(error);
        return messageFailed();
    }
    messageOpen_ = true;
    bodyStarted_ = bodyComplete_ = bodyFailed_ = lastWasCarriageReturn_ = false;
    bodyError_.clear();
    const std::string command = "A004 FETCH " + currentMessageId_ + " (BODY.PEEK[])";
    if (!send(command + "\r\n")) return;
    show("FETCHING EMAIL " + currentMessageId_);
    log(command);
    state_ = State::Body;
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
        if (streamedBody_) {
            bodyComplete_ = true;
            return;
        }
        const std::optional<ImapFetchResponse> fetch = parseFetchResponse(response_);
        if (!fetch || !sameMessageNumber(fetch->number, currentMessageId_) || bodyStarted_) return;
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
        messageFailed();
    });
}

void ImapDialogue::endMessage() {
    if (!bodyComplete_ || bodyFailed_) {
        log(bodyFailed_ ? bodyError_ : "The server sent no body for message " + currentMessageId_);
        abandon();
        return messageFailed();
    }
    advanceCapped();
    // The line where the closing parenthesis stood: empty after a final line
    // end, else it ends the message's unfinished last line.
    std::string error;
    bool stored = false;
    messageOpen_ = false;
    if (!store_.writeMessage("\r\n", error) || !store_.commitMessage(storeTime_, stored, error)) {
        log(error);
        if (!stored) {
            store_.abandonMessage();
            incomplete_ = true;
            return fetchNextMessage();
        }
    }
    // Only a stored message may be flagged for deletion.
    if (values_.settings.markDeleted) {
        if (!send("A005 STORE " + currentMessageId_ + " +FLAGS (\\Deleted)\r\n")) return;
        state_ = State::Store;
        return;
    }
    fetchNextMessage();
}

void ImapDialogue::messageFailed() {
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
