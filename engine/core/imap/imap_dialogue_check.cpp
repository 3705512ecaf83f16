// The check of an account (checkOnly): what a migration would copy, counted
// without changing anything on the server or on the disk.
#include <algorithm>
#include <utility>

#include "engine/core/imap/imap_dialogue.h"
#include "engine/core/store/store_layout.h"
#include "engine/core/text/numbers.h"

namespace rvo {

namespace {

// RFC822.SIZE as a number; empty for anything else (a size of more than 19
// digits is not one any server holds).
std::optional<std::uint64_t> messageSize(const ImapFetchItem& item) {
    if (item.value.kind != ImapToken::Kind::Atom) return std::nullopt;
    const std::string_view text = item.value.text;
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string countsText(std::uint64_t messages, std::uint64_t bytes, std::uint64_t alreadyStored) {
    return std::to_string(messages) + " messages (" + std::to_string(bytes) + " bytes) to copy, " +
           std::to_string(alreadyStored) + " already stored";
}

}  // namespace

void ImapDialogue::checkNextFolder() {
    for (;;) {
        messageIds_.clear();
        checked_ = CheckedFolder{};
        if (folders_.empty()) {
            log("Check of the account: " + std::to_string(checkCounts_.folders) + " folders, " +
                countsText(checkCounts_.messages, checkCounts_.bytes, checkCounts_.alreadyStored));
            checkComplete_ = true;
            return logout();
        }
        folder_ = std::move(folders_.front());
        folders_.pop_front();
        // The folders a migration would leave out are not counted either.
        if (isExcluded(folder_)) {
            log("Skipping the MailBox '" + folder_.shownName + "'");
            continue;
        }
        localFolder_ = store_.localFolderName(folder_.shownName);
        if (const std::optional<std::string> problem = folderNameProblem(localFolder_)) {
            log("The MailBox '" + folder_.shownName + "' cannot be stored: " + *problem + "; it is not counted");
            continue;
        }
        const std::optional<std::string> quoted = imapQuoted(folder_.serverName);
        if (!quoted) {
            log("The MailBox '" + folder_.shownName +
                "' cannot be examined: its name holds a line break or NUL byte; it is not counted");
            continue;
        }
        folderDirectory_ = store_.folderDirectory(localFolder_);
        // EXAMINE, not SELECT: the folder is opened read-only, so a check
        // changes nothing on the server (no \Recent cleared, no flag set).
        const std::optional<std::string> line = driver_.examine(*quoted, [this](const ImapOutcome& done) {
            if (done.result == ImapResult::Ok) return checkExamined();
            log(done.line);
            log("The MailBox '" + folder_.shownName + "' could not be examined; it is not counted");
            checkNextFolder();
        });
        if (!sent(line)) return;
        log(*line);
        show("Checking the MailBox '" + folder_.shownName + "'");
        state_ = State::Select;
        return;
    }
}

void ImapDialogue::checkExamined() {
    // The same messages as a migration's search: flagged deleted ones only
    // with MIGRATE_DELETED.
    const std::optional<std::string> line =
        driver_.searchUids(values_.settings.migrateDeleted, messageIds_, [this](const ImapOutcome& done) {
            if (done.result == ImapResult::Ok) return checkSearched();
            log(done.line);
            log("The MailBox '" + folder_.shownName + "' could not be searched; it is not counted");
            checkNextFolder();
        });
    if (!sent(line)) return;
    log(*line);
    state_ = State::Search;
}

void ImapDialogue::loadRecordsForCheck() {
    std::vector<std::string> names;
    std::string records;
    std::string error;
    // A missing directory holds nothing and has no records.
    if (!store_.listFolder(folderDirectory_, names, error)) {
        log(error + "; no message of the MailBox '" + folder_.shownName + "' is counted as stored");
        names.clear();
    } else if (!store_.readRecords(folderDirectory_, records, error)) {
        log(error + "; no message of the MailBox '" + folder_.shownName + "' is counted as stored");
        records.clear();
    }
    stored_.load(names, records);
}

void ImapDialogue::checkSearched() {
    const ImapSearchReader& search = driver_.searchAnswer();
    if (search.error() == ImapSearchReader::Error::TooManyNumbers) {
        log("The SEARCH answer for the MailBox '" + folder_.shownName + "' holds more than " +
            std::to_string(search.maxNumbers()) + " UIDs; it is not counted, and a migration would stop there");
        return checkNextFolder();
    }
    loadRecordsForCheck();
    // A message counts as stored exactly when the migration would skip it:
    // its record names a file still present.
    for (const std::uint32_t uid : messageIds_) {
        if (stored_.fileHolding(MessageIdentity{folder_.serverName, driver_.uidValidity(), uid})) {
            ++checked_.alreadyStored;
        } else {
            checked_.uids.push_back(uid);
        }
    }
    messageIds_.clear();
    std::sort(checked_.uids.begin(), checked_.uids.end());
    checked_.uids.erase(std::unique(checked_.uids.begin(), checked_.uids.end()), checked_.uids.end());
    checked_.sized.assign(checked_.uids.size(), false);
    state_ = State::Check;
    checkPump();
}

void ImapDialogue::checkPump() {
    while (state_ == State::Check && checked_.nextListed < checked_.uids.size() && driver_.hasRoom()) {
        const std::size_t count =
            std::min(std::max<std::size_t>(values_.maxUidsPerListing, 1), checked_.uids.size() - checked_.nextListed);
        const auto first = checked_.uids.begin() + static_cast<std::ptrdiff_t>(checked_.nextListed);
        const std::vector<std::uint32_t> uids(first, first + static_cast<std::ptrdiff_t>(count));
        checked_.nextListed += count;
        ++checked_.listingsInFlight;
        const std::optional<std::string> line = driver_.listSizes(uids, [this](const ImapOutcome& done) {
            --checked_.listingsInFlight;
            // The messages still count; only their sizes are missing.
            if (done.result != ImapResult::Ok) log(done.line);
            checkPump();
        });
        if (!sent(line)) return;
        log(*line);
    }
    if (state_ == State::Check && checked_.nextListed >= checked_.uids.size() && checked_.listingsInFlight == 0)
        checkedFolderDone();
}

void ImapDialogue::onCheckData(const std::optional<ImapFetchResponse>& fetch, std::string_view line) {
    if (!fetch) return logUntagged(line);
    const ImapFetchItem* uidItem = fetch->find("UID");
    const ImapFetchItem* sizeItem = fetch->find("RFC822.SIZE");
    if (!uidItem || !sizeItem || uidItem->value.kind != ImapToken::Kind::Atom) return logUntagged(line);
    const std::optional<std::uint32_t> uid = parsePositiveNumber(uidItem->value.text);
    const std::optional<std::uint64_t> size = messageSize(*sizeItem);
    if (!uid || !size) return logUntagged(line);
    // Only a UID asked for, and each once: a repeated answer adds nothing.
    const auto it = std::lower_bound(checked_.uids.begin(), checked_.uids.end(), *uid);
    if (it == checked_.uids.end() || *it != *uid) return;
    const std::size_t index = static_cast<std::size_t>(it - checked_.uids.begin());
    if (checked_.sized[index]) return;
    checked_.sized[index] = true;
    checked_.bytes += *size;
}

void ImapDialogue::checkedFolderDone() {
    log("Check of folder " + folder_.shownName + ": " +
        countsText(checked_.uids.size(), checked_.bytes, checked_.alreadyStored));
    ++checkCounts_.folders;
    checkCounts_.messages += checked_.uids.size();
    checkCounts_.bytes += checked_.bytes;
    checkCounts_.alreadyStored += checked_.alreadyStored;
    checkNextFolder();
}

}  // namespace rvo
