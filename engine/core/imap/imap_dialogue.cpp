#include "engine/core/imap/imap_dialogue.h"

#include <algorithm>
#include <utility>

#include "engine/core/auth/sasl_oauth.h"
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
      driver_(ImapDriverValues{static_cast<std::size_t>(std::clamp(values_.settings.pipelineDepth, 1, kMaxPipelineDepth)),
                               values_.maxSearchNumbers, values_.maxLoggedUntaggedPerKind, values_.responseLimits,
                               values_.capabilityLimits},
              [this](std::string_view bytes) { return host_.send(bytes); }, *this) {}

void ImapDialogue::onLine(std::string_view line) {
    if (state_ == State::Done) return;
    driver_.onLine(line);
}

bool ImapDialogue::acceptsLongLine(std::string_view start) {
    return state_ != State::Done && driver_.acceptsLongLine(start);
}

void ImapDialogue::onLinePiece(std::string_view piece, bool last) { driver_.onLinePiece(piece, last); }

void ImapDialogue::leaveForNextRun(std::string_view reason) { tally_.leaveForNextRun(reason); }

std::string ImapDialogue::summary() const {
    if (values_.settings.checkOnly) {
        return result() == 0 ? "The check of the account is complete; nothing was fetched, changed or stored"
                             : "The check of the account did not finish; nothing was fetched, changed or stored";
    }
    return tally_.summary(result() == 0, logoutAcknowledged_
                                             ? "the walk over the folders did not finish"
                                             : "the session ended before the server acknowledged LOGOUT");
}

EndingRecord ImapDialogue::ending() const {
    EndingRecord ending = ending_;
    if (!driver_.lastRefusal().empty()) ending.noteRefusal(driver_.lastRefusal());
    return ending;
}

void ImapDialogue::onBroken(const std::string& what) {
    ending_.note(SessionEnd::Failed, what);
    log(what + "; the session ends");
    leaveForNextRun("the server broke the protocol");
    abandon();
    state_ = State::Done;
    host_.closeConnection();
}

void ImapDialogue::onLiteral(std::string_view chunk, bool) {
    if (state_ == State::Done) return;
    driver_.onLiteral(chunk);
}

void ImapDialogue::abandon() {
    driver_.untaggedAnswerEnded();
    if (fileOwner_) abandon(*fileOwner_);
}

void ImapDialogue::abandon(Message& m) {
    if (!m.ownsFile) return;
    store_.abandonMessage();
    m.ownsFile = false;
    fileOwner_ = nullptr;
    if (literalOwner_ == &m) literalOwner_ = nullptr;
}

bool ImapDialogue::takesBody(const ImapFetchResponse& fetch) {
    // Only the body of a message whose body fetch is in flight goes to its
    // file, and only while the store holds no other message's file open.
    if (state_ != State::Transfer) return false;
    Message* m = bodyMessage(fetch);
    if (!m || m->bodyStarted || m->fileFailed) return false;
    m->bodyOffered = true;
    if (!openBody(*m)) return false;
    literalOwner_ = m;
    return true;
}

bool ImapDialogue::openBody(Message& m) {
    if (!storeFreeFor(m)) return false;
    if (!m.ownsFile && !beginFile(m)) {
        m.fileFailed = true;
        return false;
    }
    startBody(m);
    return true;
}

void ImapDialogue::takeWholeBody(Message& m, const ImapFetchItem& item) {
    // A body sent as a quoted string (or a literal read whole).
    if (m.bodyStarted || m.fileFailed || item.value.kind != ImapToken::Kind::String || !openBody(m)) return;
    writeBody(m, item.value.text);
    m.bodyComplete = true;
}

void ImapDialogue::onBodyResponseEnded() {
    if (literalOwner_) literalOwner_->bodyComplete = true;
    literalOwner_ = nullptr;
    pump();
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
    if (!driver_.byUid()) return inFlightMessage(fetch.number, Message::Step::BodySent);
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

void ImapDialogue::onExpunge(std::uint32_t gone) {
    // Every later message moves down by one; the expunged one is gone.
    if (!driver_.byUid()) {
        std::deque<std::uint32_t> renumbered;
        for (const std::uint32_t n : messageIds_)
            if (n != gone) renumbered.push_back(n > gone ? n - 1 : n);
        messageIds_ = std::move(renumbered);
    }
    for (Message& m : messages_) {
        if (m.expunged) continue;
        if (m.number == gone) {
            m.expunged = true;
        } else if (m.number > gone) {
            --m.number;
        }
    }
    pump();
}

void ImapDialogue::onExists(std::uint32_t count) {
    // The SEARCH result is what this run transfers; messages announced
    // later would be fetched by a stale count, so they wait for the next run.
    if (count > driver_.exists() && transferPass_ && !newMessagesNoted_) {
        log("New messages arrived in the MailBox '" + folder_.shownName +
            "' during the transfer; they are left for the next run");
        newMessagesNoted_ = true;
        leaveForNextRun("new messages arrived during the transfer");
    }
    pump();
}

void ImapDialogue::onOutOfStep(std::string_view line) {
    log(line);
    if (state_ == State::Logout) {
        // Whatever the server meant, the conversation is over.
        host_.closeConnection();
        state_ = State::Done;
        driver_.end();
        return;
    }
    // A completion of no command we sent: the dialogue cannot tell where it stands.
    ending_.note(SessionEnd::Failed, "the server answered out of step");
    leaveForNextRun("the server answered out of step");
    driver_.forget();
    logout();
}

bool ImapDialogue::sent(const std::optional<std::string>& line) {
    if (line) return true;
    abandon();
    state_ = State::Done;
    return false;
}

void ImapDialogue::onGreeting(std::string_view line, bool ok) {
    if (!ok) {
        ending_.note(isUntagged(line, "BYE") ? SessionEnd::ByeBeforeLogout : SessionEnd::ServerError, line);
        log(line);
        logout();
        return;
    }
    show("Connected");
    log(withoutCarriageReturns(line));
    if (values_.signIn) return signInWithToken();
    sendLogin();
}

void ImapDialogue::sendLogin() {
    const std::optional<ImapCommand> login =
        ImapOpening::loginCommand(values_.account.loginName(), values_.account.password);
    if (!login) {
        log(kLoginNotSent);
        ending_.note(SessionEnd::SettingsMistake, "the user name or password cannot be sent");
        leaveForNextRun("the user name or password cannot be sent");
        logout();
        return;
    }
    const std::optional<std::string> line = driver_.login(*login, [this](const ImapOutcome& done) { onLogin(done); });
    if (!sent(line)) return;
    log(*line);
    show("Sending Login information");
    state_ = State::Login;
}

template <typename Ok, typename Refused>
ImapDriver::Completion ImapDialogue::onCompletion(Ok ok, Refused refused) {
    return [this, ok, refused](const ImapOutcome& done) {
        if (done.result == ImapResult::Ok) return ok();
        ending_.note(SessionEnd::ServerError, done.line);
        log(done.line);
        refused();
    };
}

void ImapDialogue::signInWithToken() {
    // A greeting without its capabilities (and every greeting after
    // STARTTLS, whose list the server may change) leaves them to be asked.
    if (driver_.capabilities().known()) return sendAuthenticate();
    const std::optional<std::string> line = driver_.capability([this](const ImapOutcome& done) {
        if (done.result == ImapResult::Ok) return sendAuthenticate();
        ending_.note(SessionEnd::ServerError, done.line);
        log(done.line);
        leaveForNextRun("the server did not list its capabilities");
        logout();
    });
    if (!sent(line)) return;
    log(*line);
    state_ = State::Login;
}

void ImapDialogue::sendAuthenticate() {
    const SaslSignIn& signIn = *values_.signIn;
    if (!driver_.capabilities().offersMechanism(signIn.mechanism)) {
        log("The server does not offer the sign-in mechanism " + signIn.mechanism + " (AUTH=" + signIn.mechanism +
            " is not among its capabilities); the account is not signed in");
        leaveForNextRun("the server does not offer the sign-in mechanism");
        return logout();
    }
    if (!saslSignInSendable(signIn)) {
        log("The sign-in holds bytes no command line can carry; AUTHENTICATE is not sent");
        leaveForNextRun("the sign-in cannot be sent");
        return logout();
    }
    const bool onCommandLine = driver_.capabilities().has("SASL-IR");
    initialResponseSent_ = onCommandLine;
    challengeStatus_.reset();
    const std::optional<std::string> line = driver_.authenticate(
        signIn.mechanism, onCommandLine ? std::optional<std::string_view>(signIn.initialResponse) : std::nullopt,
        [this](std::string_view text) { return onSignInContinuation(text); },
        [this](const ImapOutcome& done) { onSignedIn(done); });
    if (!sent(line)) return;
    log(*line);
    show("Sending Login information");
    state_ = State::Login;
}

std::string ImapDialogue::onSignInContinuation(std::string_view text) {
    const SaslSignIn& signIn = *values_.signIn;
    if (!initialResponseSent_) {
        initialResponseSent_ = true;
        return signIn.initialResponse;
    }
    // After the initial response, a challenge says why the token was
    // refused; the client's answer lets the server complete with NO.
    if (!challengeStatus_) {
        challengeStatus_ = saslChallengeStatus(text);
        return signIn.failureReply;
    }
    // A further challenge has no answer in these mechanisms: cancel.
    return "*";
}

void ImapDialogue::onSignedIn(const ImapOutcome& done) {
    if (done.result == ImapResult::Ok) {
        signedIn_ = true;
        return sendList();
    }
    ending_.note(SessionEnd::LoginRefused, done.line);
    if (challengeStatus_) {
        // One line: why, and the server's own words; never the token.
        log("The server refused the OAuth 2.0 token" +
            (challengeStatus_->empty() ? std::string() : " (status " + *challengeStatus_ + ")") + ": " +
            std::string(done.line));
    } else {
        log(done.line);
    }
    leaveForNextRun("the server refused the login");
    logout();
}

void ImapDialogue::onBye(std::string_view line) {
    ending_.note(SessionEnd::ByeBeforeLogout, line);
    // The server's own word for a session whose token ran out; the
    // session can sign in again with a fresh one.
    if (!signedIn_ || tokenExpired_) return;
    const std::string upper = asciiUpperCopy(line);
    if (upper.find("ACCESSTOKENEXPIRED") == std::string::npos) return;
    tokenExpired_ = true;
    leaveForNextRun("the server ended the session because its access token expired");
}

void ImapDialogue::onLogin(const ImapOutcome& done) {
    if (done.result == ImapResult::Ok) return sendList();
    ending_.note(SessionEnd::LoginRefused, done.line);
    log(done.line);
    leaveForNextRun("the server refused the login");
    logout();
}

bool ImapDialogue::sendListCommand() {
    listedFolders_.clear();
    if (!sent(driver_.list([this](const ImapOutcome& done) { onListed(done); }))) return false;
    state_ = State::List;
    return true;
}

void ImapDialogue::sendList() {
    if (!sendListCommand()) return;
    show("Login succeeded");
    show("Please wait while we get total number of emails to download");
    log(ImapOpening::listCommand().logged);
}

void ImapDialogue::onUnreadableFolder(std::string_view line, const std::string& why) {
    logUntagged(line, "Could not read the folder in \"" + std::string(line) + "\": " + why);
    leaveForNextRun("a folder could not be read from the list");
}

void ImapDialogue::onListed(const ImapOutcome& done) {
    if (done.result == ImapResult::Ok && values_.settings.checkOnly) return checkNextFolder();
    if (done.result == ImapResult::Ok) {
        if (transferPass_) show(kBanner);
        return selectNextFolder();
    }
    ending_.note(SessionEnd::ServerError, done.line);
    log(done.line);
    leaveForNextRun("the folder list failed");
    logout();
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
        newMessagesNoted_ = false;
        const std::optional<std::string> line = driver_.select(*quoted, onCompletion([this] { selected(); }, [this] {
            leaveForNextRun("a folder could not be selected");
            selectNextFolder();
        }));
        if (!sent(line)) return;
        log(*line);
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

void ImapDialogue::selected() {
    const auto searched = onCompletion([this] { searchCompleted(); }, [this] {
        leaveForNextRun("a folder could not be searched");
        selectNextFolder();
    });
    const std::optional<std::string> line = driver_.search(values_.settings.migrateDeleted, messageIds_, searched);
    if (!sent(line)) return;
    log(*line);
    if (transferPass_) show("SEARCHING MAILBOX " + folder_.shownName);
    state_ = State::Search;
}

void ImapDialogue::searchCompleted() {
    const ImapSearchReader& search_ = driver_.searchAnswer();
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
            ending_.note(SessionEnd::StoreWriteFailed, error);
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
        ending_.note(SessionEnd::StoreWriteFailed, error);
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
        if (!driver_.hasRoom()) return;
        // The next listing goes out while half of the last is still to be
        // fetched, so that the bodies never wait for a round trip.
        if (driver_.byUid() && !listingInFlight_ && !messageIds_.empty() &&
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
            if (!driver_.byUid() && !messageIds_.empty() && messages_.size() < driver_.window()) {
                next = &messages_.emplace_back(messageIds_.front());
                messageIds_.pop_front();
            } else {
                if (messages_.empty() && messageIds_.empty() && driver_.idle()) selectNextFolder();
                return;
            }
        }
        if (!sendFor(*next)) return;
    }
}

std::string ImapDialogue::messageName(const Message& m) const {
    if (driver_.byUid()) return "the message with UID " + std::to_string(m.uid);
    return "message " + std::to_string(m.number);
}

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
    const std::optional<std::string> line =
        driver_.listDates(wanted, [this](const ImapOutcome& done) { onListingCompleted(done); });
    if (!sent(line)) return false;
    listingInFlight_ = true;
    log(*line);
    return true;
}

void ImapDialogue::onListingCompleted(const ImapOutcome& done) {
    listingInFlight_ = false;
    if (done.result != ImapResult::Ok) log(done.line);
    // A message the listing left out is still fetched (dated as a message
    // without a date); should its UID be gone, the body fetch says so.
    for (Message& m : messages_) {
        if (m.step != Message::Step::DateSent) continue;
        m.dateRefused = done.result != ImapResult::Ok;
        m.step = Message::Step::Dated;
    }
}

bool ImapDialogue::sendFor(Message& m) {
    const std::uint32_t address = driver_.byUid() ? m.uid : m.number;
    switch (m.step) {
        case Message::Step::DateWanted:
            m.uid = 0;
            m.time.reset();
            if (!sent(driver_.fetchDate(m.number, [this, &m](const ImapOutcome& done) { onDateCompleted(m, done); })))
                return false;
            m.step = Message::Step::DateSent;
            return true;
        case Message::Step::BodyWanted: {
            const std::optional<std::string> line =
                driver_.fetchBody(address, [this, &m](const ImapOutcome& done) { onBodyCompleted(m, done); });
            if (!sent(line)) return false;
            show("FETCHING EMAIL " + std::to_string(m.number > 0 ? m.number : m.uid));
            log(*line);
            m.step = Message::Step::BodySent;
            return true;
        }
        case Message::Step::StoreWanted:
            // Refused or not, the message is stored; at worst its deletion flag is missing.
            if (!sent(driver_.flagDeleted(address, [this, &m](const ImapOutcome& done) {
                    if (done.result != ImapResult::Ok) log(done.line);
                    m.step = Message::Step::Done;
                }))) {
                return false;
            }
            m.step = Message::Step::StoreSent;
            return true;
        default:
            return true;
    }
}

void ImapDialogue::onTransferData(const std::optional<ImapFetchResponse>& fetch, std::string_view line) {
    if (state_ == State::Check) return onCheckData(fetch, line);
    transferData(fetch, line);
    pump();
}

void ImapDialogue::transferData(const std::optional<ImapFetchResponse>& fetch, std::string_view line) {
    if (state_ != State::Transfer) return;
    if (driver_.byUid()) {
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
        return takeWholeBody(*b, *item);
    }
    // One command at a time: untagged lines are logged while a date is awaited.
    const bool datesAwaited = std::any_of(messages_.begin(), messages_.end(),
                                          [](const Message& m) { return m.step == Message::Step::DateSent; });
    if (fetch) {
        if (Message* m = inFlightMessage(fetch->number, Message::Step::DateSent)) {
            if (takeDate(*m, *fetch, line) || !datesAwaited) return;
        } else if (Message* b = inFlightMessage(fetch->number, Message::Step::BodySent)) {
            if (const ImapFetchItem* item = fetch->find("BODY[]")) takeWholeBody(*b, *item);
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

void ImapDialogue::onDateCompleted(Message& m, const ImapOutcome& done) {
    if (done.result != ImapResult::Ok) log(done.line);
    bool refused = done.result != ImapResult::Ok;
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
    if (driver_.byUid() && stored_.fileHolding(identity(m))) return skipStored(m);
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
        ending_.note(SessionEnd::StoreWriteFailed, error);
        log(error);
        return false;
    }
    m.ownsFile = true;
    fileOwner_ = &m;
    m.bodyStarted = m.bodyComplete = m.bodyFailed = m.lastWasCarriageReturn = false;
    m.bodyError.clear();
    m.fileBytes = 0;
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
    const std::string header = imapHeaderLine(m.dateHex) + "\r\n";
    if (store_.writeMessage(header, m.bodyError))
        m.fileBytes += header.size();
    else
        m.bodyFailed = true;
}

void ImapDialogue::writeBody(Message& m, std::string_view bytes) {
    if (m.bodyFailed || bytes.empty()) return;
    // Only the line end is the file's own: each line ends in CR LF, so a
    // bare LF gets its CR; every other byte is the message's and stays.
    const auto put = [this, &m](std::string_view piece) {
        if (m.bodyFailed || piece.empty()) return;
        if (store_.writeMessage(piece, m.bodyError))
            m.fileBytes += piece.size();
        else
            m.bodyFailed = true;
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

void ImapDialogue::onBodyCompleted(Message& m, const ImapOutcome& done) {
    if (literalOwner_ == &m) literalOwner_ = nullptr;
    if (done.result == ImapResult::Refused) {
        ending_.note(SessionEnd::ServerError, done.line);
        log(done.line);
    }
    if (m.fileDone) {
        // Its whole body came before this completion and was dealt with then.
        m.step = m.afterBody;
        return;
    }
    if (done.crossedExpunge && !m.expunged && !m.fileFailed) {
        // As for the date: this message's body came, or it is asked again.
        if (!m.bodyStarted) {
            m.step = Message::Step::BodyWanted;
            return;
        }
        return endMessage(m);
    }
    // By UID, an answer without the body is the server saying the UID is gone.
    if (done.result == ImapResult::Gone && !m.bodyOffered) {
        abandon(m);
        return messageGone(m);
    }
    if (done.result != ImapResult::Refused) return endMessage(m);
    abandon(m);
    m.expunged ? messageGone(m) : messageFailed(m);
}

void ImapDialogue::endMessage(Message& m) {
    if (m.fileFailed) return messageFailed(m);
    if (!m.bodyComplete || m.bodyFailed) {
        if (m.expunged && !m.bodyFailed) return messageGone(m);
        if (m.bodyFailed) ending_.note(SessionEnd::StoreWriteFailed, m.bodyError);
        log(m.bodyFailed ? m.bodyError : "The server sent no body for " + messageName(m));
        abandon(m);
        return messageFailed(m);
    }
    // The line where the closing parenthesis stood: empty after a final line
    // end, else it ends the message's unfinished last line.
    std::string error;
    if (!store_.writeMessage("\r\n", error)) {
        ending_.note(SessionEnd::StoreWriteFailed, error);
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
            ending_.note(SessionEnd::StoreWriteFailed, error);
            store_.abandonMessage();
            leaveForNextRun("a message file could not be stored");
            m.step = Message::Step::Done;
            return;
        }
    }
    // The closing line end written above is the file's too.
    tally_.countStored(m.fileBytes + 2);
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
    const std::optional<std::string> line =
        driver_.logout([this](const ImapOutcome& done) { onLogoutCompleted(done); });
    if (!sent(line)) return;
    show("Logging out");
    log(*line);
    state_ = State::Logout;
}

void ImapDialogue::onLogoutCompleted(const ImapOutcome& done) {
    if (done.result == ImapResult::Ok) {
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

}  // namespace rvo
