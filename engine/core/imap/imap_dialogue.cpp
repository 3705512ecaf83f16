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
    : values_(std::move(values)),
      host_(host),
      store_(store),
      reader_(*this, values_.responseLimits),
      search_(values_.maxSearchNumbers),
      untaggedLog_(values_.maxLoggedUntaggedPerKind),
      runner_([this](std::string_view bytes) { return host_.send(bytes); },
              static_cast<std::size_t>(std::clamp(values_.settings.pipelineDepth, 1, kMaxPipelineDepth))),
      byUid_(runner_.window() > 1) {}

void ImapDialogue::onLine(std::string_view line) {
    if (state_ == State::Done) return;
    reader_.onLine(line);
}

bool ImapDialogue::acceptsLongLine(std::string_view start) {
    // Only the numbers of a SEARCH answer may run past the line bound: they
    // are read one by one and bounded by their count. The line must stand
    // on its own (not continue a response that announced a literal).
    if (state_ != State::Search || reader_.midResponse() || !isUntagged(start, "SEARCH")) return false;
    longSearchLine_ = true;
    return true;
}

void ImapDialogue::onLinePiece(std::string_view piece, bool last) {
    if (!longSearchLine_) return;
    if (last && !piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
    search_.feed(piece, messageIds_);
    if (!last) return;
    longSearchLine_ = false;
    search_.endLine(messageIds_);
}

void ImapDialogue::leaveForNextRun(std::string_view reason) { tally_.leaveForNextRun(reason); }

std::string ImapDialogue::summary() const {
    return tally_.summary(result() == 0, logoutAcknowledged_
                                             ? "the walk over the folders did not finish"
                                             : "the session ended before the server acknowledged LOGOUT");
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
    untaggedAnswerEnded();
    if (fileOwner_) abandon(*fileOwner_);
}

void ImapDialogue::logUntagged(std::string_view line, std::string_view text) {
    if (untaggedLog_.admit(line)) log(text);
}

void ImapDialogue::untaggedAnswerEnded() {
    if (const std::optional<std::string> summary = untaggedLog_.completed()) log(*summary);
}

void ImapDialogue::abandon(Message& m) {
    if (!m.ownsFile) return;
    store_.abandonMessage();
    m.ownsFile = false;
    fileOwner_ = nullptr;
    if (literalOwner_ == &m) literalOwner_ = nullptr;
}

bool ImapDialogue::takesLiteral(const ImapResponse& soFar, std::uint64_t) {
    // Only the body of a message whose body fetch is in flight goes to its
    // file, and only while the store holds no other message's file open.
    if (state_ != State::Transfer) return false;
    const std::optional<ImapFetchResponse> fetch = parseFetchResponse(soFar);
    Message* m = fetch ? bodyMessage(*fetch) : nullptr;
    if (!m || m->bodyStarted || m->fileFailed) return false;
    const ImapFetchItem* item = fetch->last();
    if (!item || item->value.kind != ImapToken::Kind::PendingLiteral || !startsWithIgnoringCase(item->name, "BODY[]") ||
        item->name.size() != 6) {
        return false;
    }
    m->bodyOffered = true;
    if (!storeFreeFor(*m)) return false;
    if (!m->ownsFile && !beginFile(*m)) {
        m->fileFailed = true;
        return false;
    }
    startBody(*m);
    literalOwner_ = m;
    return true;
}

bool ImapDialogue::storeFreeFor(Message& next) {
    if (!fileOwner_ || fileOwner_ == &next) return true;
    Message& owner = *fileOwner_;
    // Bodies come in the order they were asked for: one that has not begun
    // when a later one does is not coming (refused, or gone); its empty file
    // is dropped, and begun again should it come after all.
    if (!owner.bodyStarted) {
        abandon(owner);
        return true;
    }
    // Servers that run pipelined fetches side by side send the next body
    // before the completion of this one; nothing more of this one can come.
    if (owner.step != Message::Step::BodySent || !owner.bodyComplete) return false;
    endMessage(owner);
    owner.afterBody = owner.step;
    owner.step = Message::Step::BodySent;  // its completion is still to come
    owner.fileDone = true;
    return !fileOwner_;
}

void ImapDialogue::handleResponse() {
    const std::string line = response().front().bytes;
    if (isUntagged(line, "BYE") && state_ != State::Greeting && state_ != State::Logout) {
        // The server is leaving; its close ends the session.
        logUntagged(line);
        return;
    }
    if (isTagged(line) && state_ != State::Greeting) untaggedAnswerEnded();
    if (selected_ && onMailboxSize(line)) return pump();
    if (state_ == State::Done) return;
    if (state_ != State::Greeting && isTagged(line)) {
        // A completion: of the oldest command in flight, or out of step.
        if (runner_.onTagged(line) == ImapCommandRunner::Match::Completed) return pump();
        if (state_ == State::Logout) return onLogout(line);
        return outOfStep(line);
    }
    switch (state_) {
        case State::Greeting:
            return onGreeting(line);
        case State::Login:
            return;
        case State::List:
            return onList(line);
        case State::Select:
            return onSelect(line);
        case State::Search:
            return onSearch(line);
        case State::Transfer:
            onTransferData(line);
            return pump();
        case State::Logout:
            return onLogout(line);
        case State::Done:
            return;
    }
}

ImapDialogue::Message* ImapDialogue::messageByUid(const ImapFetchResponse& fetch, Message::Step step) {
    const ImapFetchItem* uid = fetch.find("UID");
    if (!uid || uid->value.kind != ImapToken::Kind::Atom) return nullptr;
    const std::optional<std::uint32_t> n = parsePositiveNumber(uid->value.text);
    if (!n) return nullptr;
    for (Message& m : messages_)
        if (m.uid == *n) return m.step == step ? &m : nullptr;
    return nullptr;
}

ImapDialogue::Message* ImapDialogue::bodyMessage(const ImapFetchResponse& fetch) {
    if (!byUid_) return inFlightMessage(fetch.number, Message::Step::BodySent);
    // The UID names the message wherever it stands; a server that puts it
    // after the body leaves the message number the listing gave.
    if (fetch.find("UID")) return messageByUid(fetch, Message::Step::BodySent);
    return inFlightMessage(fetch.number, Message::Step::BodySent);
}

ImapDialogue::Message* ImapDialogue::inFlightMessage(std::string_view number, Message::Step step) {
    // The server numbers its data as the client knows the mailbox at that
    // moment: the number names the message, whichever command asked.
    const std::optional<std::uint32_t> n = parsePositiveNumber(number);
    if (!n) return nullptr;
    for (Message& m : messages_)
        if (!m.expunged && m.number == *n) return m.step == step ? &m : nullptr;
    return nullptr;
}

bool ImapDialogue::onMailboxSize(std::string_view line) {
    if (const std::optional<std::uint32_t> gone = untaggedCount(line, "EXPUNGE")) {
        // Every later message moves down by one; the expunged one is gone.
        logUntagged(line);
        if (exists_ > 0) --exists_;
        if (!byUid_) {
            std::deque<std::uint32_t> renumbered;
            for (const std::uint32_t n : messageIds_)
                if (n != *gone) renumbered.push_back(n > *gone ? n - 1 : n);
            messageIds_ = std::move(renumbered);
        }
        for (Message& m : messages_) {
            if (m.expunged) continue;
            if (m.number == *gone) {
                m.expunged = true;
            } else if (m.number > *gone) {
                --m.number;
            }
        }
        // A command in flight may have been run after the server moved its
        // numbers (commands by UID are not moved by it).
        if (!byUid_) runner_.expungeArrived();
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
    runner_.forget();
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
    if (!send("A000", login->bytes, [this](const ImapCompletion& done) { onLogin(done.line); })) return;
    log(login->logged);
    show("Sending Login information");
    state_ = State::Login;
    opening_.inFlight(ImapOpening::Step::Login);
}

template <typename Ok, typename Refused>
ImapCommandRunner::Handler ImapDialogue::onCompletion(Ok ok, Refused refused) {
    return [this, ok, refused](const ImapCompletion& done) {
        if (done.status == ImapStatus::Ok) return ok();
        log(done.line);
        refused();
    };
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
    if (!send("A001", list.bytes, [this](const ImapCompletion& done) { onList(done.line); })) return false;
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
            logUntagged(line, "Could not read the folder in \"" + std::string(line) + "\": " + opening_.why());
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
        if (!send("A002", "A002 SELECT " + *quoted + "\r\n", onCompletion([this] { selected(); }, [this] {
                leaveForNextRun("a folder could not be selected");
                selectNextFolder();
            }))) {
            return;
        }
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
}

void ImapDialogue::selected() {
    selected_ = true;
    search_.reset();
    const std::string_view command =
        values_.settings.migrateDeleted ? (byUid_ ? "A003 UID SEARCH ALL" : "A003 SEARCH ALL")
                                        : (byUid_ ? "A003 UID SEARCH NOT DELETED" : "A003 SEARCH NOT DELETED");
    const auto searched = onCompletion([this] { searchCompleted(); }, [this] {
        leaveForNextRun("a folder could not be searched");
        selectNextFolder();
    });
    if (!send("A003", std::string(command) + "\r\n", searched)) return;
    log(command);
    if (transferPass_) show("SEARCHING MAILBOX " + folder_.shownName);
    state_ = State::Search;
}

void ImapDialogue::onSearch(std::string_view line) {
    if (!isUntagged(line, "SEARCH")) return;
    search_.feed(line, messageIds_);
    search_.endLine(messageIds_);
}

void ImapDialogue::searchCompleted() {
    if (search_.ignoredCount() > 0) {
        const std::uint64_t more = search_.ignoredCount() - search_.ignoredShown();
        log("Ignoring what is not a message number in the SEARCH result:" + search_.ignoredText() +
            (more > 0 ? " and " + std::to_string(more) + " more" : std::string()));
    }
    if (search_.error() == ImapSearchReader::Error::TooManyNumbers) {
        // Walking part of the folder would leave the rest unseen with every
        // run; the session ends with LOGOUT and the account stays open.
        log("The SEARCH answer for the MailBox '" + folder_.shownName + "' holds more than " +
            std::to_string(search_.maxNumbers()) + " message numbers (" +
            std::to_string(search_.maxNumbers() + search_.dropped()) + "); the session ends");
        leaveForNextRun("a folder holds more messages than one SEARCH answer may");
        return logout();
    }
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
        state_ = State::Transfer;
        return pump();
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

void ImapDialogue::pump() {
    while (state_ == State::Transfer) {
        decideInOrder();
        while (!messages_.empty() && messages_.front().step == Message::Step::Done) messages_.pop_front();
        if (!runner_.hasRoom()) return;
        // The next listing goes out while half of the last is still to be
        // fetched, so that the bodies never wait for a round trip.
        if (byUid_ && !listingInFlight_ && !messageIds_.empty() &&
            messages_.size() <= std::max<std::size_t>(values_.maxUidsPerListing / 2, 1)) {
            if (!sendListing()) return;
            continue;
        }
        // The oldest message with a command to send goes first: bodies and
        // flags of earlier messages before the dates of later ones.
        Message* next = nullptr;
        for (Message& m : messages_) {
            if (m.step == Message::Step::StoreWanted && m.expunged) m.step = Message::Step::Done;
            if (m.step == Message::Step::DateWanted || m.step == Message::Step::BodyWanted ||
                m.step == Message::Step::StoreWanted) {
                next = &m;
                break;
            }
        }
        if (!next) {
            if (!byUid_ && !messageIds_.empty() && messages_.size() < runner_.window()) {
                next = &messages_.emplace_back(messageIds_.front());
                messageIds_.pop_front();
            } else {
                if (messages_.empty() && messageIds_.empty() && runner_.idle()) selectNextFolder();
                return;
            }
        }
        if (!sendFor(*next)) return;
    }
}

std::string ImapDialogue::tagFor(std::string_view fixed) {
    if (!byUid_) return std::string(fixed);
    std::string number = std::to_string(++tagCounter_);
    if (number.size() < 4) number.insert(0, 4 - number.size(), '0');
    return "T" + number;
}

std::string ImapDialogue::messageName(const Message& m) const {
    if (byUid_) return "the message with UID " + std::to_string(m.uid);
    return "message " + std::to_string(m.number);
}

namespace {

// "11:14,17,20:21": the UIDs (ascending as the search gave them) as a sequence set.
std::string uidSet(const std::vector<std::uint32_t>& uids) {
    std::string set;
    for (std::size_t i = 0; i < uids.size();) {
        std::size_t j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
        if (!set.empty()) set += ',';
        set += std::to_string(uids[i]);
        if (j > i) set += ':' + std::to_string(uids[j]);
        i = j + 1;
    }
    return set;
}

}  // namespace

bool ImapDialogue::sendListing() {
    std::vector<std::uint32_t> wanted;
    for (std::size_t taken = 0; taken < std::max<std::size_t>(values_.maxUidsPerListing, 1) && !messageIds_.empty();
         ++taken) {
        Message& m = messages_.emplace_back(0);
        m.uid = messageIds_.front();
        messageIds_.pop_front();
        // A message the records name as stored needs no date: it is skipped.
        if (stored_.fileHolding(identity(m))) {
            m.step = Message::Step::Dated;
            continue;
        }
        m.step = Message::Step::DateSent;
        wanted.push_back(m.uid);
    }
    if (wanted.empty()) return true;
    std::sort(wanted.begin(), wanted.end());
    const std::string tag = tagFor("I001");
    const std::string command = tag + " UID FETCH " + uidSet(wanted) + " (INTERNALDATE)";
    if (!send(tag, command + "\r\n", [this](const ImapCompletion& done) { onListingCompleted(done); })) return false;
    listingInFlight_ = true;
    log(command);
    return true;
}

void ImapDialogue::onListingCompleted(const ImapCompletion& done) {
    listingInFlight_ = false;
    if (done.status != ImapStatus::Ok) log(done.line);
    // A message the listing left out is still fetched (dated as a message
    // without a date); should its UID be gone, the body fetch says so.
    for (Message& m : messages_) {
        if (m.step != Message::Step::DateSent) continue;
        m.dateRefused = done.status != ImapStatus::Ok;
        m.step = Message::Step::Dated;
    }
}

bool ImapDialogue::sendFor(Message& m) {
    const std::string number = std::to_string(m.number);
    switch (m.step) {
        case Message::Step::DateWanted:
            m.uid = 0;
            m.time.reset();
            if (!send("I001", "I001 FETCH " + number + " (INTERNALDATE UID)\r\n",
                      [this, &m](const ImapCompletion& done) { onDateCompleted(m, done); })) {
                return false;
            }
            m.step = Message::Step::DateSent;
            return true;
        case Message::Step::BodyWanted: {
            const std::string tag = tagFor("A004");
            const std::string command = byUid_ ? tag + " UID FETCH " + std::to_string(m.uid) + " (BODY.PEEK[])"
                                               : tag + " FETCH " + number + " (BODY.PEEK[])";
            if (!send(tag, command + "\r\n", [this, &m](const ImapCompletion& done) { onBodyCompleted(m, done); }))
                return false;
            show("FETCHING EMAIL " + (m.number > 0 ? number : std::to_string(m.uid)));
            log(command);
            m.step = Message::Step::BodySent;
            return true;
        }
        case Message::Step::StoreWanted: {
            // Refused or not, the message is stored; at worst its deletion flag is missing.
            const std::string tag = tagFor("A005");
            const std::string command = byUid_ ? tag + " UID STORE " + std::to_string(m.uid) + " +FLAGS (\\Deleted)"
                                               : tag + " STORE " + number + " +FLAGS (\\Deleted)";
            if (!send(tag, command + "\r\n", [this, &m](const ImapCompletion& done) {
                    if (done.status != ImapStatus::Ok) log(done.line);
                    m.step = Message::Step::Done;
                })) {
                return false;
            }
            m.step = Message::Step::StoreSent;
            return true;
        }
        default:
            return true;
    }
}

void ImapDialogue::onTransferData(std::string_view line) {
    if (!line.starts_with("* ")) return;
    if (reader_.literalTaken()) {
        if (literalOwner_) literalOwner_->bodyComplete = true;
        literalOwner_ = nullptr;
        return;
    }
    const std::optional<ImapFetchResponse> fetch = parseFetchResponse(response());
    if (byUid_) {
        if (!fetch) return logUntagged(line);
        if (Message* m = messageByUid(*fetch, Message::Step::DateSent)) {
            if (const std::optional<std::uint32_t> n = parsePositiveNumber(fetch->number)) m->number = *n;
            takeDate(*m, *fetch, line);
            return;
        }
        Message* b = bodyMessage(*fetch);
        const ImapFetchItem* item = fetch->find("BODY[]");
        if (!b || !item || item->name.size() != 6) return;  // flags and other data of no interest
        b->bodyOffered = true;
        if (b->bodyStarted || b->fileFailed || item->value.kind != ImapToken::Kind::String) return;
        if (!storeFreeFor(*b)) return;
        if (!b->ownsFile && !beginFile(*b)) {
            b->fileFailed = true;
            return;
        }
        startBody(*b);
        writeBody(*b, item->value.text);
        b->bodyComplete = true;
        return;
    }
    const bool datesAwaited = runner_.oldestTag() == "I001";
    if (fetch) {
        if (Message* m = inFlightMessage(fetch->number, Message::Step::DateSent)) {
            if (takeDate(*m, *fetch, line) || !datesAwaited) return;
        } else if (Message* b = inFlightMessage(fetch->number, Message::Step::BodySent)) {
            const ImapFetchItem* item = fetch->find("BODY[]");
            if (b->bodyStarted || b->fileFailed || !item || item->value.kind != ImapToken::Kind::String) return;
            // A body sent as a quoted string (or a literal read whole).
            if (!storeFreeFor(*b)) return;
            if (!b->ownsFile && !beginFile(*b)) {
                b->fileFailed = true;
                return;
            }
            startBody(*b);
            writeBody(*b, item->value.text);
            b->bodyComplete = true;
            return;
        }
    }
    if (datesAwaited) logUntagged(line);
}

bool ImapDialogue::takeDate(Message& m, const ImapFetchResponse& fetch, std::string_view line) {
    const ImapFetchItem* date = fetch.find("INTERNALDATE");
    const ImapFetchItem* uid = fetch.find("UID");
    if (uid && uid->value.kind == ImapToken::Kind::Atom) {
        if (const std::optional<std::uint32_t> n = parsePositiveNumber(uid->value.text)) m.uid = *n;
    }
    if (!date) return uid != nullptr;
    std::optional<CivilTime> civil;
    if (date->value.kind == ImapToken::Kind::String) civil = parseInternalDate(date->value.text);
    if (civil) m.time = internalDateToFileTime(*civil, values_.timeZoneBiasMinutes);
    if (!m.time) logUntagged(line, "Unusable INTERNALDATE: " + std::string(line));
    return true;
}

void ImapDialogue::onDateCompleted(Message& m, const ImapCompletion& done) {
    if (done.status != ImapStatus::Ok) log(done.line);
    bool refused = done.status != ImapStatus::Ok;
    if (done.crossedExpunge && !m.expunged) {
        // The server may have run it on another message than the one its
        // number named when it was sent: what counts is whether this
        // message's data came (tied to it by number), else it is asked again.
        if (!m.time && m.uid == 0) {
            m.step = Message::Step::DateWanted;
            return;
        }
        refused = false;
    }
    m.dateRefused = refused;
    m.step = Message::Step::Dated;
}

void ImapDialogue::decideInOrder() {
    for (Message& m : messages_) {
        if (m.decided) continue;
        if (m.step != Message::Step::Dated) return;
        m.decided = true;
        if (m.expunged) {
            advanceCapped();
            messageGone(m);
        } else if (m.dateRefused) {
            advanceCapped();
            messageFailed(m);
        } else {
            decideStore(m);
        }
    }
}

void ImapDialogue::decideStore(Message& m) {
    m.counter = messageNumber_;
    showCaptionForMessage();
    // Listed by UID, a message the records name was never asked for its date.
    if (byUid_ && stored_.fileHolding(identity(m))) return skipStored(m);
    if (!m.time) {
        std::string name = messageName(m);
        name[0] = asciiUpper(name[0]);
        log(name + " has no usable INTERNALDATE; it is dated 01/01/1980 00:00:00");
        m.time = fallbackMessageTime();
    }
    m.storeTime = *m.time;
    m.dateHex = dateHex(m.storeTime);
    if (stored_.fileHolding(identity(m))) return skipStored(m);
    // Counted now, so that the messages decided after it while its body is
    // on its way get the numbers a one-at-a-time transfer gives them.
    m.advanced = advanceCapped();
    // The file is opened now when no earlier message still waits for its
    // body; otherwise when this body begins to arrive.
    const bool earlierBodyDue = std::any_of(messages_.begin(), messages_.end(), [](const Message& other) {
        return other.step == Message::Step::BodyWanted || other.step == Message::Step::BodySent;
    });
    if (!fileOwner_ && !earlierBodyDue && !beginFile(m)) return messageFailed(m);
    m.step = Message::Step::BodyWanted;
}

bool ImapDialogue::beginFile(Message& m) {
    std::string error;
    if (!store_.beginMessage(folderDirectory_, m.counter, m.dateHex, error)) {
        log(error);
        return false;
    }
    m.ownsFile = true;
    fileOwner_ = &m;
    m.bodyStarted = m.bodyComplete = m.bodyFailed = m.lastWasCarriageReturn = false;
    m.bodyError.clear();
    return true;
}

void ImapDialogue::skipStored(Message& m) {
    tally_.countRecognised();
    log("Skipping message #" + std::to_string(m.counter));
    // Deciding a fetch counted the message only while below the total; a
    // recognised one always counts.
    if (!m.advanced) ++messageNumber_;
    m.step = Message::Step::Done;
}

void ImapDialogue::messageGone(Message& m) {
    // Deleted by someone else before this run could copy it: nothing to keep.
    abandon(m);
    std::string name = messageName(m);
    name[0] = asciiUpper(name[0]);
    log(name + " was expunged on the server before it was copied");
    m.step = Message::Step::Done;
}

void ImapDialogue::startBody(Message& m) {
    m.bodyStarted = true;
    if (!store_.writeMessage(imapHeaderLine(m.dateHex) + "\r\n", m.bodyError)) m.bodyFailed = true;
}

void ImapDialogue::writeBody(Message& m, std::string_view bytes) {
    if (m.bodyFailed || bytes.empty()) return;
    // Only the line end is the file's own: each line ends in CR LF, so a
    // bare LF gets its CR; every other byte is the message's and stays.
    const auto put = [this, &m](std::string_view piece) {
        if (!m.bodyFailed && !piece.empty() && !store_.writeMessage(piece, m.bodyError)) m.bodyFailed = true;
    };
    std::size_t start = 0;
    for (std::size_t lf = bytes.find('\n'); lf != std::string_view::npos; lf = bytes.find('\n', lf + 1)) {
        const bool hasCarriageReturn = lf > 0 ? bytes[lf - 1] == '\r' : m.lastWasCarriageReturn;
        if (hasCarriageReturn) continue;
        put(bytes.substr(start, lf - start));
        put("\r\n");
        start = lf + 1;
    }
    put(bytes.substr(start));
    m.lastWasCarriageReturn = bytes.back() == '\r';
}

void ImapDialogue::onBodyCompleted(Message& m, const ImapCompletion& done) {
    if (literalOwner_ == &m) literalOwner_ = nullptr;
    if (done.status != ImapStatus::Ok) log(done.line);
    if (m.fileDone) {
        // Its whole body came before this completion and was dealt with then.
        m.step = m.afterBody;
        return;
    }
    if (!byUid_ && done.crossedExpunge && !m.expunged && !m.fileFailed) {
        // As for the date: this message's body came, or it is asked again.
        if (!m.bodyStarted) {
            m.step = Message::Step::BodyWanted;
            return;
        }
        return endMessage(m);
    }
    if (done.status == ImapStatus::Ok) return endMessage(m);
    abandon(m);
    m.expunged ? messageGone(m) : messageFailed(m);
}

void ImapDialogue::endMessage(Message& m) {
    if (m.fileFailed) return messageFailed(m);
    if (!m.bodyComplete || m.bodyFailed) {
        // By UID, an answer without the body is the server saying the UID is gone.
        if ((m.expunged || (byUid_ && !m.bodyOffered)) && !m.bodyFailed) return messageGone(m);
        log(m.bodyFailed ? m.bodyError : "The server sent no body for " + messageName(m));
        abandon(m);
        return messageFailed(m);
    }
    // The line where the closing parenthesis stood: empty after a final line
    // end, else it ends the message's unfinished last line.
    std::string error;
    if (!store_.writeMessage("\r\n", error)) {
        log(error);
        abandon(m);
        return messageFailed(m);
    }
    if (matchesStoredCopy(m)) return;
    std::string name;
    bool stored = false;
    m.ownsFile = false;
    fileOwner_ = nullptr;
    if (!store_.commitMessage(m.storeTime, name, stored, error)) {
        log(error);
        if (!stored) {
            store_.abandonMessage();
            leaveForNextRun("a message file could not be stored");
            m.step = Message::Step::Done;
            return;
        }
    }
    tally_.countStored();
    stored_.addFile(name);
    record(m, name);
    // Only a stored message may be flagged for deletion, and only by a
    // number that is still its own.
    m.step = values_.settings.markDeleted && !m.expunged ? Message::Step::StoreWanted : Message::Step::Done;
}

bool ImapDialogue::matchesStoredCopy(Message& m) {
    // Files of the slot that no record ties to another message may hold this
    // one. Taken now, not when it was decided: a message committed or
    // recognised meanwhile has its record.
    const std::vector<std::string> candidates =
        stored_.candidates(m.dateHex, identity(m), [this](std::string_view folder) {
            return listedFolders_.count(std::string(folder)) != 0;
        });
    for (const std::string& name : candidates) {
        std::string error;
        if (store_.sameAsStored(name, error)) {
            abandon(m);
            record(m, name);
            skipStored(m);
            return true;
        }
        // Unreadable: storing the message again is better than losing it.
        if (!error.empty()) log(error);
    }
    return false;
}

void ImapDialogue::record(const Message& m, const std::string& fileName) {
    const MessageIdentity id = identity(m);
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

void ImapDialogue::messageFailed(Message& m) {
    // A failed message needs no reason of its own: the summary says messages could not be copied.
    tally_.countFailed();
    tally_.leaveForNextRun({});
    m.step = Message::Step::Done;
}

bool ImapDialogue::advanceCapped() {
    if (messageNumber_ >= totalMessages_) return false;
    ++messageNumber_;
    return true;
}

void ImapDialogue::logout() {
    abandon();
    literalOwner_ = nullptr;
    messages_.clear();
    selected_ = false;
    if (!send("A006", "A006 LOGOUT\r\n", [this](const ImapCompletion& done) { onLogoutCompleted(done); })) return;
    show("Logging out");
    log("A006 LOGOUT");
    state_ = State::Logout;
}

void ImapDialogue::onLogoutCompleted(const ImapCompletion& done) {
    if (done.status == ImapStatus::Ok) {
        host_.pause(values_.logoutPauseMs);
        show("Disconnected");
        log(done.line);
        logoutAcknowledged_ = true;
        // The server closes the connection; that ends the session.
        state_ = State::Done;
        return;
    }
    log(done.line);
    host_.closeConnection();
    state_ = State::Done;
}

void ImapDialogue::onLogout(std::string_view line) {
    if (!isTagged(line)) return logUntagged(line);
    log(line);
    host_.closeConnection();
    state_ = State::Done;
}

bool ImapDialogue::send(std::string_view tag, std::string_view bytes, ImapCommandRunner::Handler onCompleted) {
    if (runner_.send(tag, bytes, std::move(onCompleted))) return true;
    abandon();
    state_ = State::Done;
    return false;
}

}  // namespace rvo
