#include "engine/core/imap/imap_driver.h"

#include <algorithm>
#include <utility>

#include "engine/core/log/log_text.h"
#include "engine/core/text/numbers.h"

namespace rvo {

namespace {

// "* NO", "* BAD", "* BYE" or a tagged NO or BAD: the server turning something down.
bool isRefusal(std::string_view line) {
    if (isUntagged(line, "NO") || isUntagged(line, "BAD") || isUntagged(line, "BYE")) return true;
    if (!isTagged(line)) return false;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return false;
    const ImapStatus status = taggedStatus(line, line.substr(0, space));
    return status == ImapStatus::No || status == ImapStatus::Bad;
}

}  // namespace

ImapDriver::ImapDriver(ImapDriverValues values, Send send, ImapDriverClient& client)
    : values_(std::move(values)),
      send_(std::move(send)),
      client_(client),
      reader_(*this, values_.responseLimits),
      runner_([this](std::string_view bytes) { return send_(bytes); }, values_.window),
      search_(values_.maxSearchNumbers),
      untaggedLog_(values_.maxLoggedUntaggedPerKind),
      capabilities_(values_.capabilityLimits),
      byUid_(runner_.window() > 1) {}

void ImapDriver::onLine(std::string_view line) {
    if (phase_ != Phase::Done) reader_.onLine(line);
}

void ImapDriver::onLiteral(std::string_view chunk) {
    if (phase_ != Phase::Done) reader_.onLiteral(chunk);
}

bool ImapDriver::acceptsLongLine(std::string_view start) {
    // Only the numbers of a SEARCH answer may run past the line bound: they
    // are read one by one and bounded by their count. The line must stand
    // on its own (not continue a response that announced a literal).
    if (phase_ != Phase::Search || reader_.midResponse() || !isUntagged(start, "SEARCH") || !found_) return false;
    longSearchLine_ = true;
    return true;
}

void ImapDriver::onLinePiece(std::string_view piece, bool last) {
    if (!longSearchLine_ || !found_) return;
    if (last && !piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
    search_.feed(piece, *found_);
    if (!last) return;
    longSearchLine_ = false;
    search_.endLine(*found_);
}

void ImapDriver::end() {
    untaggedAnswerEnded();
    phase_ = Phase::Done;
}

void ImapDriver::logUntagged(std::string_view line, std::string_view text) {
    if (untaggedLog_.admit(line)) client_.log(text);
}

void ImapDriver::untaggedAnswerEnded() {
    if (const std::optional<std::string> summary = untaggedLog_.completed()) client_.log(*summary);
}

void ImapDriver::onProtocolError(const std::string& what) {
    phase_ = Phase::Done;
    client_.onBroken(what);
}

bool ImapDriver::takesLiteral(const ImapResponse& soFar, std::uint64_t) {
    // Only a message body, and only while bodies are asked for.
    if (phase_ != Phase::Transfer) return false;
    const std::optional<ImapFetchResponse> fetch = parseFetchResponse(soFar);
    if (!fetch) return false;
    const ImapFetchItem* item = fetch->last();
    if (!item || item->value.kind != ImapToken::Kind::PendingLiteral || !startsWithIgnoringCase(item->name, "BODY[]") ||
        item->name.size() != 6) {
        return false;
    }
    return client_.takesBody(*fetch);
}

bool ImapDriver::onMailboxSize(std::string_view line) {
    if (const std::optional<std::uint32_t> gone = untaggedCount(line, "EXPUNGE")) {
        logUntagged(line);
        if (exists_ > 0) --exists_;
        // A command in flight may have been run after the server moved its
        // numbers (commands by UID are not moved by it).
        if (!byUid_) runner_.expungeArrived();
        client_.onExpunge(*gone);
        return true;
    }
    if (const std::optional<std::uint32_t> exists = untaggedCount(line, "EXISTS")) {
        client_.onExists(*exists);
        exists_ = *exists;
        return true;
    }
    return false;
}

void ImapDriver::onResponse(const ImapResponse& response) {
    const std::string line = response.front().bytes;
    // The BYE that answers LOGOUT is the server's goodbye, not a refusal.
    if (isRefusal(line) && !(phase_ == Phase::Logout && isUntagged(line, "BYE")))
        lastRefusal_ = std::string_view(line).substr(0, kMaxRefusalBytes);
    if (isUntagged(line, "BYE") && phase_ != Phase::Greeting && phase_ != Phase::Logout) {
        // The server is leaving; its close ends the session.
        logUntagged(line);
        return client_.onBye(line);
    }
    if (phase_ == Phase::Authenticate && line.starts_with('+') && continuation_) {
        // The text of "+ <text>" (a bare "+" carries none).
        const std::string_view text = line.size() > 1 && line[1] == ' ' ? std::string_view(line).substr(2) : "";
        const std::string answer = continuation_(text);
        if (!send_(answer + "\r\n")) end();
        return;
    }
    if (isTagged(line) && phase_ != Phase::Greeting) untaggedAnswerEnded();
    if (selected_ && onMailboxSize(line)) return;
    if (phase_ == Phase::Done) return;
    if (phase_ != Phase::Greeting && isTagged(line)) {
        // A completion: of the command in flight with its tag, or out of step.
        if (runner_.onTagged(line) == ImapCommandRunner::Match::Completed) return client_.onAnswered();
        return client_.onOutOfStep(line);
    }
    switch (phase_) {
        case Phase::Greeting: {
            const bool ok = isUntagged(line, "OK");
            if (ok) capabilities_.readResponseCode(line);
            phase_ = Phase::Login;
            return client_.onGreeting(line, ok);
        }
        case Phase::Capability:
            if (capabilities_.readUntagged(line)) return;
            return client_.onUntagged(line);
        case Phase::Login:
        case Phase::Authenticate:
            return client_.onUntagged(line);
        case Phase::List:
            if (isUntagged(line, "LIST")) {
                std::string why;
                if (const std::optional<ImapListEntry> entry = parseListResponse(response, why)) {
                    return client_.onFolder(*entry);
                }
                return client_.onUnreadableFolder(line, why);
            }
            return client_.onUntagged(line);
        case Phase::Select:
            if (const std::optional<std::uint32_t> exists = untaggedCount(line, "EXISTS")) {
                exists_ = *exists;
            } else if (const std::optional<std::uint32_t> validity = responseCodeNumber(line, "UIDVALIDITY")) {
                uidValidity_ = *validity;
            }
            return;
        case Phase::Search:
            if (isUntagged(line, "SEARCH") && found_) {
                search_.feed(line, *found_);
                search_.endLine(*found_);
            }
            return;
        case Phase::Transfer: {
            if (!line.starts_with("* ")) return;
            noteBody(response);
            if (reader_.literalTaken()) return client_.onBodyResponseEnded();
            return client_.onTransferData(parseFetchResponse(response), line);
        }
        case Phase::Logout:
            return logUntagged(line);
        case Phase::Done:
            return;
    }
}

std::string ImapDriver::tagFor(std::string_view fixed) {
    if (!byUid_) return std::string(fixed);
    std::string number = std::to_string(++tagCounter_);
    if (number.size() < 4) number.insert(0, 4 - number.size(), '0');
    return "T" + number;
}

std::optional<std::string> ImapDriver::send(Phase phase, std::string_view tag, std::string line, Completion done,
                                            std::string logged) {
    const bool sent = runner_.send(tag, line + "\r\n", [done = std::move(done)](const ImapCompletion& c) {
        done(ImapOutcome{c.status == ImapStatus::Ok ? ImapResult::Ok : ImapResult::Refused, c.status, c.line,
                         c.crossedExpunge});
    });
    if (!sent) {
        end();
        return std::nullopt;
    }
    phase_ = phase;
    return logged.empty() ? line : logged;
}

std::optional<std::string> ImapDriver::capability(Completion done) {
    return send(Phase::Capability, "C000", "C000 CAPABILITY", std::move(done));
}

std::optional<std::string> ImapDriver::authenticate(std::string_view mechanism,
                                                    std::optional<std::string_view> initialResponse,
                                                    Continuation onContinuation, Completion done) {
    std::string line = "A000 AUTHENTICATE ";
    line += mechanism;
    std::string logged = line;
    if (initialResponse) {
        // An empty initial response is sent as "=" (a missing one would
        // make the server ask for it).
        line += ' ';
        line += initialResponse->empty() ? std::string_view("=") : *initialResponse;
        logged += ' ';
        logged += kMaskedSecret;
    }
    continuation_ = std::move(onContinuation);
    return send(Phase::Authenticate, "A000", std::move(line),
                [this, done = std::move(done)](const ImapOutcome& outcome) {
                    continuation_ = nullptr;
                    done(outcome);
                },
                std::move(logged));
}

std::optional<std::string> ImapDriver::login(const ImapCommand& login, Completion done) {
    std::string line = login.bytes.substr(0, login.bytes.size() - 2);
    return send(Phase::Login, "A000", std::move(line), std::move(done), login.logged);
}

std::optional<std::string> ImapDriver::list(Completion done) {
    const ImapCommand list = ImapOpening::listCommand();
    return send(Phase::List, "A001", list.logged, std::move(done));
}

std::optional<std::string> ImapDriver::select(std::string_view quotedName, Completion done) {
    selected_ = false;
    uidValidity_ = exists_ = 0;
    return send(Phase::Select, "A002", "A002 SELECT " + std::string(quotedName),
                [this, done = std::move(done)](const ImapOutcome& outcome) {
                    if (outcome.result == ImapResult::Ok) selected_ = true;
                    done(outcome);
                });
}

std::optional<std::string> ImapDriver::search(bool all, std::deque<std::uint32_t>& found, Completion done) {
    return searchFor(byUid_, all, found, std::move(done));
}

std::optional<std::string> ImapDriver::searchUids(bool all, std::deque<std::uint32_t>& found, Completion done) {
    return searchFor(true, all, found, std::move(done));
}

std::optional<std::string> ImapDriver::examine(std::string_view quotedName, Completion done) {
    selected_ = false;
    uidValidity_ = exists_ = 0;
    return send(Phase::Select, "A002", "A002 EXAMINE " + std::string(quotedName),
                [this, done = std::move(done)](const ImapOutcome& outcome) {
                    if (outcome.result == ImapResult::Ok) selected_ = true;
                    done(outcome);
                });
}

std::optional<std::string> ImapDriver::searchFor(bool uids, bool all, std::deque<std::uint32_t>& found,
                                                 Completion done) {
    search_.reset();
    found_ = &found;
    const std::string what = all ? "SEARCH ALL" : "SEARCH NOT DELETED";
    return send(Phase::Search, "A003", std::string("A003 ") + (uids ? "UID " : "") + what,
                [this, done = std::move(done)](const ImapOutcome& outcome) {
                    found_ = nullptr;
                    longSearchLine_ = false;
                    done(outcome);
                });
}

namespace {

// "11:14,17,20:21": ascending UIDs as a sequence set.
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

std::optional<std::string> ImapDriver::listDates(const std::vector<std::uint32_t>& uids, Completion done) {
    const std::string tag = tagFor("I001");
    return send(Phase::Transfer, tag, tag + " UID FETCH " + uidSet(uids) + " (INTERNALDATE)", std::move(done));
}

std::optional<std::string> ImapDriver::listSizes(const std::vector<std::uint32_t>& uids, Completion done) {
    const std::string tag = tagFor("I001");
    return send(Phase::Transfer, tag, tag + " UID FETCH " + uidSet(uids) + " (RFC822.SIZE)", std::move(done));
}

std::optional<std::string> ImapDriver::fetchDate(std::uint32_t number, Completion done) {
    const std::string tag = tagFor("I001");
    return send(Phase::Transfer, tag, tag + " FETCH " + std::to_string(number) + " (INTERNALDATE UID)",
                std::move(done));
}

std::optional<std::string> ImapDriver::fetchBody(std::uint32_t address, Completion done) {
    const std::string tag = tagFor("A004");
    if (!byUid_) {
        return send(Phase::Transfer, tag, tag + " FETCH " + std::to_string(address) + " (BODY.PEEK[])",
                    std::move(done));
    }
    bodiesByUid_.emplace_back(address, false);
    return send(Phase::Transfer, tag, tag + " UID FETCH " + std::to_string(address) + " (BODY.PEEK[])",
                [this, address, done = std::move(done)](const ImapOutcome& outcome) {
                    bool arrived = false;
                    for (auto it = bodiesByUid_.begin(); it != bodiesByUid_.end(); ++it) {
                        if (it->first != address) continue;
                        arrived = it->second;
                        bodiesByUid_.erase(it);
                        break;
                    }
                    ImapOutcome out = outcome;
                    // OK without the body: the server no longer has the UID.
                    if (out.result == ImapResult::Ok && !arrived) out.result = ImapResult::Gone;
                    done(out);
                });
}

void ImapDriver::noteBody(const ImapResponse& response) {
    if (bodiesByUid_.empty()) return;
    const std::optional<ImapFetchResponse> fetch = parseFetchResponse(response);
    if (!fetch) return;
    const ImapFetchItem* body = fetch->find("BODY[]");
    const ImapFetchItem* uid = fetch->find("UID");
    if (!body || body->name.size() != 6 || !uid || uid->value.kind != ImapToken::Kind::Atom) return;
    const std::optional<std::uint32_t> n = parsePositiveNumber(uid->value.text);
    for (auto& [address, arrived] : bodiesByUid_)
        if (n && address == *n) arrived = true;
}

std::optional<std::string> ImapDriver::flagDeleted(std::uint32_t address, Completion done) {
    const std::string tag = tagFor("A005");
    return send(Phase::Transfer, tag,
                tag + (byUid_ ? " UID STORE " : " STORE ") + std::to_string(address) + " +FLAGS (\\Deleted)",
                std::move(done));
}

std::optional<std::string> ImapDriver::logout(Completion done, std::string_view tag) {
    selected_ = false;
    return send(Phase::Logout, tag, std::string(tag) + " LOGOUT", [this, done = std::move(done)](const ImapOutcome& outcome) {
        phase_ = Phase::Done;
        done(outcome);
    });
}

}  // namespace rvo
