#include "engine/core/pop3/pop3_dialogue.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "engine/core/auth/sasl_oauth.h"
#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"

namespace rvo {

namespace {

constexpr std::string_view kLoggingOut = "Logging out";

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view nextWord(std::string_view& text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    std::size_t end = 0;
    while (end < text.size() && !isBlank(text[end])) ++end;
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

// A positive decimal that is the whole word; 0 otherwise.
int positiveNumber(std::string_view word) {
    if (!word.empty() && word.front() == '+') word.remove_prefix(1);
    if (word.empty()) return 0;
    long long value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return 0;
    }
    return static_cast<int>(value);
}

bool sameWordIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

// A message read as `octets` has the size LIST gave. A server counts a
// message whose last line has no line end without one, yet sends that line
// ended; a body cut short by an unstuffed "." lacks at least that line's
// three octets, so the two extra octets cannot hide one.
bool sizeAgrees(long long listed, std::uint64_t octets) {
    if (listed < 0) return false;
    const auto size = static_cast<std::uint64_t>(listed);
    return octets == size || octets == size + 2;
}

bool holdsLineBreakOrZero(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

}  // namespace

std::string credentialProblem(const Pop3Account& account) {
    if (holdsLineBreakOrZero(account.loginName())) return "The user name holds a line break or a zero byte and is not sent";
    if (holdsLineBreakOrZero(account.password)) return "The password holds a line break or a zero byte and is not sent";
    return {};
}

namespace {

// The unique-id word as it may be recorded; empty with `problem` set when it may not.
std::string usableUidl(std::string_view uidl, std::string& problem) {
    if (uidl.size() > kMaxUidlLength) {
        problem = "its unique-id is longer than 255 characters";
        return {};
    }
    for (const char c : uidl) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            problem = "its unique-id holds a control character";
            return {};
        }
    }
    return std::string(uidl);
}

}  // namespace

std::string uidlFromAnswer(std::string_view answer, int number, std::string& problem) {
    std::string_view rest = answer;
    nextWord(rest);  // +OK
    const std::string_view numberWord = nextWord(rest);
    const std::string_view uidl = nextWord(rest);
    if (numberWord.empty() || uidl.empty()) {
        problem = "the answer to UIDL holds no unique-id";
        return {};
    }
    if (const int answered = positiveNumber(numberWord); answered != number) {
        problem = "the answer to UIDL is not for this message";
        return {};
    }
    return usableUidl(uidl, problem);
}

std::string uidlFromListingLine(std::string_view line, int& number, std::string& problem) {
    std::string_view rest = line;
    number = positiveNumber(nextWord(rest));
    const std::string_view uidl = nextWord(rest);
    if (number == 0 || uidl.empty()) {
        problem = "the answer to UIDL holds no unique-id";
        return {};
    }
    return usableUidl(uidl, problem);
}

int listedMessageNumber(std::string_view line) {
    std::string_view rest = line;
    return positiveNumber(nextWord(rest));
}

long long listedMessageSize(std::string_view line) {
    std::string_view rest = line;
    nextWord(rest);
    const std::string_view word = nextWord(rest);
    if (word.empty() || word.size() > 18) return -1;
    long long value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool isPop3StatusLine(std::string_view line) { return startsWith(line, "+OK") || startsWith(line, "-ERR"); }

Pop3Dialogue::Pop3Dialogue(Pop3Environment& environment, Pop3Account account, int window, const Pop3Limits& limits)
    : env_(environment),
      account_(std::move(account)),
      limits_(limits),
      wantedWindow_(static_cast<std::size_t>(std::clamp(window, 1, 64))) {}

std::string Pop3Dialogue::summary() const {
    if (checkOnly_) {
        return result() == 0 ? "The check of the account is complete; nothing was retrieved, changed or stored"
                             : "The check of the account did not finish; nothing was retrieved, changed or stored";
    }
    return tally_.summary(result() == 0, quitSent_ ? "the dialogue did not finish"
                                                   : "the session ended before QUIT was sent");
}

void Pop3Dialogue::connected() {
    // A check writes nothing into the database.
    if (checkOnly_) return;
    try {
        env_.openDatabase()->registerServer(account_.serverAddress);
    } catch (const Exception& e) {
        ending_.note(SessionEnd::DatabaseFailed, e.text());
        env_.report(e.text());
    } catch (...) {
        ending_.note(SessionEnd::DatabaseFailed);
        env_.report(kUnknownError);
    }
}

void Pop3Dialogue::onLine(std::string_view line) {
    try {
        switch (state_) {
            case Pop3State::AwaitGreeting:
                onGreeting(line);
                break;
            case Pop3State::UserSent:
            case Pop3State::PassSent:
                onLoginAnswer(line);
                break;
            case Pop3State::AuthSent:
                onAuthAnswer(line);
                break;
            case Pop3State::CapaSent:
                onCapaLine(line);
                break;
            case Pop3State::ListSent:
                onListLine(line);
                break;
            case Pop3State::UidlSent:
                onUidlAnswer(line);
                break;
            case Pop3State::UidlListSent:
                onUidlListLine(line);
                break;
            case Pop3State::Retrieving:
                onMessageLine(line);
                break;
            case Pop3State::QuitSent:
                if (!quitAnswered_) {
                    quitAnswered_ = true;
                    if (startsWith(line, "-ERR")) ending_.noteRefusal(line);
                    if (!isPop3StatusLine(line)) {
                        outOfStep(line);
                        break;
                    }
                    // QUIT is out already; a record that fails leaves the account for the next run.
                    confirmStored();
                }
                if (!line.empty()) env_.report(line);
                break;
            case Pop3State::Closed:
                break;
            case Pop3State::CheckStatSent:
            case Pop3State::CheckListSent:
            case Pop3State::CheckUidlSent:
                onCheckLine(line);
                break;
        }
    } catch (const Exception& e) {
        env_.report(e.text());
    } catch (...) {
        env_.report(kUnknownError);
    }
}

void Pop3Dialogue::sessionEnded() {
    settleUnconfirmed("the session ended before the server's next answer");
    dropMessage();
}

void Pop3Dialogue::dropMessage() {
    if (messageOpen_) {
        messageOpen_ = false;
        env_.abandonMessage();
    }
}

bool Pop3Dialogue::positiveAnswer(std::string_view line) {
    if (line.empty()) {
        env_.report(kUnknownError);
        return false;
    }
    if (!startsWith(line, "+")) {
        env_.report(line);
        ending_.noteRefusal(line);
        ending_.note(state_ == Pop3State::AwaitGreeting ? SessionEnd::ServerError : SessionEnd::LoginRefused, line);
        refused(state_ == Pop3State::AwaitGreeting ? "the server's greeting was negative"
                                                   : "the server refused the login");
        return false;
    }
    return true;
}

void Pop3Dialogue::onGreeting(std::string_view line) {
    if (!positiveAnswer(line)) return;
    if (account_.signIn) return sendAuth();
    if (const std::string problem = credentialProblem(account_); !problem.empty()) {
        env_.report(problem);
        ending_.note(SessionEnd::SettingsMistake, "the user name or password cannot be sent");
        refused("the user name or password cannot be sent");
        return;
    }
    if (!env_.send("USER " + account_.loginName() + "\r\n")) return;
    state_ = Pop3State::UserSent;
    if (checkOnly_) return;
    const auto database = env_.openDatabase();
    database->registerUser(account_.user, database->serverId(account_.serverAddress));
}

void Pop3Dialogue::onLoginAnswer(std::string_view line) {
    if (!positiveAnswer(line)) return;
    if (state_ == Pop3State::UserSent) {
        if (env_.send("PASS " + account_.password + "\r\n")) state_ = Pop3State::PassSent;
    } else {
        loggedIn();
    }
}

void Pop3Dialogue::loggedIn() {
    if (checkOnly_) return sendCheckStat();
    if (wantedWindow_ > 1) {
        // Whether the server takes pipelined commands.
        if (env_.send("CAPA\r\n")) state_ = Pop3State::CapaSent;
    } else {
        sendList();
    }
}

void Pop3Dialogue::sendAuth() {
    const SaslSignIn& signIn = *account_.signIn;
    if (!saslSignInSendable(signIn)) {
        env_.report("The sign-in holds bytes no command line can carry; AUTH is not sent");
        refused("the sign-in cannot be sent");
        return;
    }
    // The initial response never goes on the AUTH line: that line is
    // limited to 255 octets, and a token is longer.
    const std::string command = "AUTH " + signIn.mechanism;
    if (!env_.send(command + "\r\n")) return;
    env_.report(command);
    state_ = Pop3State::AuthSent;
    initialResponseSent_ = false;
    challengeStatus_.reset();
    if (checkOnly_) return;
    const auto database = env_.openDatabase();
    database->registerUser(account_.user, database->serverId(account_.serverAddress));
}

void Pop3Dialogue::onAuthAnswer(std::string_view line) {
    const SaslSignIn& signIn = *account_.signIn;
    if (line == "+" || startsWith(line, "+ ")) {
        const std::string_view text = line.size() > 2 ? line.substr(2) : std::string_view();
        std::string answer;
        if (!initialResponseSent_) {
            initialResponseSent_ = true;
            answer = signIn.initialResponse.empty() ? std::string("=") : signIn.initialResponse;
        } else if (!challengeStatus_) {
            // After the initial response, a challenge says why the token was
            // refused; the client's answer lets the server end with -ERR.
            challengeStatus_ = saslChallengeStatus(text);
            answer = signIn.failureReply;
        } else {
            answer = "*";  // a further challenge has no answer: cancel
        }
        env_.send(answer + "\r\n");
        return;
    }
    if (startsWith(line, "+OK")) return loggedIn();
    if (line.empty()) {
        env_.report(kUnknownError);
        return;
    }
    ending_.noteRefusal(line);
    ending_.note(SessionEnd::LoginRefused, line);
    if (challengeStatus_) {
        // One line: why, and the server's own words; never the token.
        env_.report("The server refused the OAuth 2.0 token" +
                    (challengeStatus_->empty() ? std::string() : " (status " + *challengeStatus_ + ")") + ": " +
                    std::string(line));
    } else {
        env_.report(line);
    }
    refused("the server refused the login");
}

void Pop3Dialogue::sendList() {
    if (env_.send("LIST\r\n")) state_ = Pop3State::ListSent;
}

void Pop3Dialogue::onCapaLine(std::string_view line) {
    if (!capaStatusSeen_) {
        if (!isPop3StatusLine(line)) {
            outOfStep(line);
            return;
        }
        capaStatusSeen_ = true;
        if (startsWith(line, "+")) return;
        env_.report("The server does not list its capabilities; one command at a time is sent");
        sendList();
        return;
    }
    if (line == ".") {
        if (inFlight_.window() > 1) {
            std::string text;
            formatString(text, "The server takes pipelined commands: up to %d at once",
                         static_cast<int>(inFlight_.window()));
            env_.report(text);
        } else {
            env_.report("The server does not list PIPELINING; one command at a time is sent");
        }
        sendList();
        return;
    }
    std::string_view rest = line;
    if (sameWordIgnoringCase(nextWord(rest), "PIPELINING")) inFlight_.setWindow(wantedWindow_);
}

void Pop3Dialogue::onListLine(std::string_view line) {
    if (line.empty()) {
        env_.report(kUnknownError);
        return;
    }
    if (!listStatusSeen_) {
        listStatusSeen_ = true;
        env_.report(line);
        if (!startsWith(line, "+")) {
            ending_.noteRefusal(line);
            ending_.note(SessionEnd::ServerError, line);
            refused("the server refused the list of messages");
        }
        return;
    }
    if (line == ".") {
        messageCount_ = static_cast<int>(messageNumbers_.size());
        // An empty mailbox is migrated completely.
        if (messageCount_ == 0) {
            quit();
            return;
        }
        {
            // Checked before anything is retrieved: a message stored without
            // its unique-id recorded would be stored again by the next run.
            const auto database = env_.openDatabase();
            int serverId = 0;
            int userId = 0;
            const bool keys = accountKeys(*database, serverId, userId) && database->acceptsRecords(userId);
            if (!databaseHolds(*database, keys, "Nothing is retrieved: the migration database " + database->name() +
                                                    " cannot look up or record unique-ids"))
                return;
        }
        if (std::string error; !env_.prepareInbox(error)) {
            env_.report(error);
            ending_.note(SessionEnd::StoreWriteFailed, error);
            tally_.leaveForNextRun("the inbox directory could not be created");
            quit();
            return;
        }
        if (inFlight_.window() > 1) {
            askUidlList();
        } else {
            nextMessageOrQuit();
        }
        return;
    }
    if (const int number = listedMessageNumber(line); number > 0) {
        messageNumbers_.push_back(number);
        listedSizes_[number] = listedMessageSize(line);
    } else {
        env_.report(formatBounded("Listing line without a message number ignored: %s", std::string(line).c_str()));
    }
}

void Pop3Dialogue::onUidlAnswer(std::string_view line) {
    if (!isPop3StatusLine(line)) {
        outOfStep(line);
        return;
    }
    if (!confirmStored()) quit();
    currentNumber_ = inFlight_.takeOldest().number;
    if (quitWanted_) {
        nextMessageOrQuit();
        return;
    }
    if (startsWith(line, "-")) {
        env_.report(line);
        ending_.noteRefusal(line);
        ending_.note(SessionEnd::ServerError, line);
        skipMessage("the server refused a unique-id");
        return;
    }
    std::string problem;
    const std::string uidl = uidlFromAnswer(line, currentNumber_, problem);
    if (uidl.empty()) {
        env_.report(formatBounded("Message %d is not retrieved: %s", currentNumber_, problem.c_str()));
        skipMessage("a unique-id could not be used");
        return;
    }
    lookUp(uidl);
    nextMessageOrQuit();
}

void Pop3Dialogue::lookUp(const std::string& uidl) {
    auto& [firstNumber, count] = occurrences_.try_emplace(uidl, currentNumber_, 0).first->second;
    // Listed twice: it is one message, handled already.
    if (count > 0 && firstNumber == currentNumber_) return;
    currentUidl_ = ++count == 1 ? uidl : uidl + " " + std::to_string(count);
    if (count > 1) {
        if (currentUidl_.size() > kMaxUidlLength) {
            env_.report(formatBounded("Message %d is not retrieved: it has the unique-id of message %d, too long to "
                                      "record a second time", currentNumber_, firstNumber));
            failMessage("a unique-id could not be used");
            return;
        }
        env_.report(formatBounded("Message %d has the same unique-id as message %d (%s); both are kept",
                                  currentNumber_, firstNumber, uidl.c_str()));
    }
    bool known = false;
    {
        const auto database = env_.openDatabase();
        int serverId = 0;
        int userId = 0;
        const bool keys = accountKeys(*database, serverId, userId);
        known = keys && database->uidlId(serverId, userId, currentUidl_) != 0;
        if (!databaseHolds(*database, keys, "The unique-id look-up in the migration database failed")) return;
    }
    env_.showMessageProgress(currentNumber_, messageCount_);
    if (known) {
        tally_.countRecognised();
    } else {
        toRetrieve_.emplace_back(currentNumber_, currentUidl_);
    }
}

void Pop3Dialogue::askUidlList() {
    if (!env_.send("UIDL\r\n")) return;
    inFlight_.push({false, 0, {}, false});
    state_ = Pop3State::UidlListSent;
}

void Pop3Dialogue::onUidlListLine(std::string_view line) {
    Command& command = inFlight_.oldest();
    if (!command.statusSeen) {
        if (!isPop3StatusLine(line)) {
            outOfStep(line);
            return;
        }
        command.statusSeen = true;
        if (startsWith(line, "+")) return;
        // Refused for the whole mailbox: as a refused UIDL of each message.
        env_.report(line);
        ending_.noteRefusal(line);
        ending_.note(SessionEnd::ServerError, line);
        inFlight_.takeOldest();
        for (std::size_t i = 0; i < messageNumbers_.size(); ++i) tally_.countFailed();
        messageNumbers_.clear();
        tally_.leaveForNextRun("the server refused a unique-id");
        nextMessageOrQuit();
        return;
    }
    if (line == ".") {
        inFlight_.takeOldest();
        uidlsListed_ = true;
        const auto usable = std::count_if(listedUidls_.begin(), listedUidls_.end(),
                                          [](const auto& entry) { return entry.second.problem.empty(); });
        env_.report(formatBounded("The answer to UIDL gave unique-ids for %d of the %d listed messages",
                                  static_cast<int>(usable), messageCount_));
        reportUnusedUidlLines();
        nextMessageOrQuit();
        return;
    }
    readUidlListEntry(line);
}

void Pop3Dialogue::readUidlListEntry(std::string_view line) {
    // Past the bound the lines are only counted: nothing of them is kept.
    if (++uidlLinesRead_ > limits_.uidlLines) return;
    // A line that begins with "." has it doubled (RFC 1939); no unique-id line does.
    if (!line.empty() && line.front() == '.') line.remove_prefix(1);
    int number = 0;
    std::string problem;
    std::string uidl;
    if (line.size() > limits_.uidlLineBytes) {
        std::string_view rest = line;
        number = positiveNumber(nextWord(rest));
    } else {
        uidl = uidlFromListingLine(line, number, problem);
    }
    if (number == 0 || listedSizes_.count(number) == 0) {
        ++uidlLinesUnlisted_;
        return;
    }
    if (line.size() > limits_.uidlLineBytes) {
        problem = formatBounded("its line in the answer to UIDL is longer than %d characters",
                                static_cast<int>(std::min<std::size_t>(limits_.uidlLineBytes, INT_MAX)));
    }
    const auto [entry, added] = listedUidls_.try_emplace(number, ListedUidl{uidl, problem});
    ListedUidl& listed = entry->second;
    // Said twice: only the same unique-id twice can be trusted.
    if (!added && listed.problem.empty() && (!problem.empty() || uidl != listed.uidl)) {
        listed = {{}, "the answer to UIDL gives it two unique-ids"};
    }
}

void Pop3Dialogue::reportUnusedUidlLines() {
    if (uidlLinesUnlisted_ > 0) {
        env_.report(formatBounded("The answer to UIDL held %d lines without a listed message number; they are not used",
                                  static_cast<int>(std::min<std::size_t>(uidlLinesUnlisted_, INT_MAX))));
    }
    if (uidlLinesRead_ > limits_.uidlLines) {
        env_.report(formatBounded("The answer to UIDL held %d lines, more than the %d read; the messages of the rest "
                                  "are not retrieved",
                                  static_cast<int>(std::min<std::size_t>(uidlLinesRead_, INT_MAX)),
                                  static_cast<int>(std::min<std::size_t>(limits_.uidlLines, INT_MAX))));
    }
}

void Pop3Dialogue::lookUpListed() {
    currentNumber_ = messageNumbers_.front();
    messageNumbers_.pop_front();
    const auto listed = listedUidls_.find(currentNumber_);
    if (listed == listedUidls_.end() || !listed->second.problem.empty()) {
        const std::string problem = listed == listedUidls_.end() ? "the answer to UIDL holds no unique-id for it"
                                                                 : listed->second.problem;
        env_.report(formatBounded("Message %d is not retrieved: %s", currentNumber_, problem.c_str()));
        failMessage("a unique-id could not be used");
        return;
    }
    // Listed twice: one message, looked up once (even when it shares its
    // unique-id with another message).
    if (std::exchange(listed->second.lookedUp, true)) return;
    lookUp(listed->second.uidl);
}

bool Pop3Dialogue::sendRetr() {
    auto [number, uidl] = std::move(toRetrieve_.front());
    toRetrieve_.pop_front();
    // The file is begun now when no other RETR is answered first, else when
    // its own answer begins.
    const bool fileFree = !inFlight_.any([](const Command& c) { return c.retr; });
    if (fileFree) {
        if (std::string error; !env_.beginMessage(number, error)) {
            env_.report(error);
            ending_.note(SessionEnd::StoreWriteFailed, error);
            tally_.countFailed();
            tally_.leaveForNextRun("a message file could not be created");
            return true;
        }
        messageOpen_ = true;
    }
    if (!sent("RETR %d\r\n", number)) return false;
    inFlight_.push({true, number, std::move(uidl), false});
    env_.showLine(formatBounded("RETRIEVING EMAIL %d", number));
    return true;
}

void Pop3Dialogue::onMessageLine(std::string_view line) {
    Command& command = inFlight_.oldest();
    currentNumber_ = command.number;
    // Only the first line answers RETR; later ones are the message, even
    // when they begin with "+OK".
    if (!command.statusSeen) {
        if (!isPop3StatusLine(line)) {
            outOfStep(line);
            return;
        }
        command.statusSeen = true;
        body_.reset();
        if (!confirmStored()) quit();
        if (startsWith(line, "+")) {
            env_.report(line);
            if (!messageOpen_ && !quitWanted_) {
                if (std::string error; env_.beginMessage(currentNumber_, error)) {
                    messageOpen_ = true;
                } else {
                    env_.report(error);
                    ending_.note(SessionEnd::StoreWriteFailed, error);
                    tally_.countFailed();
                    tally_.leaveForNextRun("a message file could not be created");
                }
            }
            return;
        }
        env_.report(line);
        ending_.noteRefusal(line);
        ending_.note(SessionEnd::ServerError, line);
        dropMessage();
        inFlight_.takeOldest();
        if (quitWanted_) {
            nextMessageOrQuit();
            return;
        }
        skipMessage("the server refused a message");
        return;
    }
    const Pop3BodyReader::Line read = body_.read(line);
    if (read.end) {
        completeMessage();
        return;
    }
    // A message that failed is read to its end and dropped.
    if (!messageOpen_) return;
    if (std::string error; !env_.writeMessageLine(read.content, error)) {
        env_.report(error);
        ending_.note(SessionEnd::StoreWriteFailed, error);
        dropMessage();
        tally_.countFailed();
        tally_.leaveForNextRun("a message file could not be written");
    }
}

void Pop3Dialogue::completeMessage() {
    currentUidl_ = inFlight_.takeOldest().uidl;
    // A message whose file failed was counted then.
    if (!messageOpen_) {
        nextMessageOrQuit();
        return;
    }
    if (quitWanted_) {
        // Its unique-id could not be recorded: stored, it would be stored again.
        dropMessage();
        nextMessageOrQuit();
        return;
    }
    messageOpen_ = false;
    if (std::string error; !env_.commitMessage(error)) {
        env_.report(error);
        ending_.note(SessionEnd::StoreWriteFailed, error);
        skipMessage("a message file could not be stored");
        return;
    }
    // Recorded when the next line shows that this "." was the message's end.
    stored_ = {true, currentNumber_, currentUidl_, body_.octets()};
    nextMessageOrQuit();
}

bool Pop3Dialogue::confirmStored() {
    if (!stored_.waiting) return true;
    const auto listed = listedSizes_.find(stored_.number);
    if (listed != listedSizes_.end() && listed->second >= 0 && !sizeAgrees(listed->second, stored_.octets)) {
        env_.report(formatBounded("Message %d has %llu octets where the listing said %lld; kept, the server's "
                                  "answers being in step", stored_.number,
                                  static_cast<unsigned long long>(stored_.octets), listed->second));
    }
    return recordStored();
}

void Pop3Dialogue::settleUnconfirmed(const char* why) {
    if (!stored_.waiting) return;
    const auto listed = listedSizes_.find(stored_.number);
    if (listed != listedSizes_.end() && sizeAgrees(listed->second, stored_.octets)) {
        // Its size says the "." was its true end.
        recordStored();
        return;
    }
    stored_.waiting = false;
    removeStored(formatBounded("%s, and its size (%llu octets) is not the listed one", why,
                               static_cast<unsigned long long>(stored_.octets)).c_str());
    tally_.leaveForNextRun("a message's end could not be confirmed");
}

bool Pop3Dialogue::recordStored() {
    stored_.waiting = false;
    const int attempts = std::max(1, retry_.attempts);
    std::string said;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        // A database busy with another program is often free again a moment later.
        if (attempt > 1) env_.pause(retry_.pauseMs);
        const auto database = env_.openDatabase();
        int serverId = 0;
        int userId = 0;
        const bool keys = accountKeys(*database, serverId, userId);
        if (keys) database->recordUidl(serverId, userId, stored_.uidl);
        if (keys && database->usable()) {
            // The file holds the body's lines as LIST counts them, each with CR LF.
            tally_.countStored(stored_.octets);
            return true;
        }
        said = database->lastError();
    }
    env_.report(formatBounded("Message %d is stored, but its unique-id could not be recorded in the migration "
                              "database (%d attempts): %s", stored_.number, attempts,
                              said.empty() ? "the database gave no reason" : said.c_str()));
    ending_.note(SessionEnd::DatabaseFailed, said);
    // Kept without its record, the next run would store it a second time.
    removeStored("its unique-id could not be recorded");
    tally_.leaveForNextRun("the migration database cannot be used");
    return false;
}

void Pop3Dialogue::removeStored(const char* why) {
    stored_.waiting = false;
    tally_.countFailed();
    if (std::string error; !env_.removeStoredMessage(error)) {
        env_.report(formatBounded("Message %d could not be removed from the store again (%s); the next run stores "
                                  "it a second time: %s", stored_.number, why, error.c_str()));
        return;
    }
    env_.report(formatBounded("Message %d is removed from the store again: %s; the next run retrieves it",
                              stored_.number, why));
}

void Pop3Dialogue::outOfStep(std::string_view line) {
    const Command* expected = inFlight_.idle() ? nullptr : &inFlight_.oldest();
    std::string command = state_ == Pop3State::CapaSent ? "CAPA" : "QUIT";
    if (expected) {
        command = expected->retr ? formatBounded("RETR %d", expected->number)
                  : expected->number != 0 ? formatBounded("UIDL %d", expected->number)
                                          : std::string("UIDL");
    }
    env_.report(formatBounded("Protocol error: the answer to %s does not begin with +OK or -ERR, so the server's "
                              "answers no longer match the commands and the session ends: %s",
                              command.c_str(), std::string(line).c_str()));
    ending_.note(SessionEnd::Failed, "the server's answers went out of step with the commands");
    tally_.leaveForNextRun("the server's answers went out of step with the commands");
    settleUnconfirmed("no answer followed its end");
    // Whatever was begun after the stream went out of step is not the message it seems to be.
    dropMessage();
    inFlight_.forget();
    toRetrieve_.clear();
    close();
}

void Pop3Dialogue::skipMessage(std::string_view reason) {
    failMessage(reason);
    nextMessageOrQuit();
}

void Pop3Dialogue::failMessage(std::string_view reason) {
    tally_.countFailed();
    tally_.leaveForNextRun(reason);
}

Pop3State Pop3Dialogue::answerState() const {
    const Command& oldest = inFlight_.oldest();
    return oldest.retr ? Pop3State::Retrieving : oldest.number != 0 ? Pop3State::UidlSent : Pop3State::UidlListSent;
}

void Pop3Dialogue::nextMessageOrQuit() {
    if (state_ == Pop3State::QuitSent || state_ == Pop3State::Closed) return;
    // RETRs of new messages first, then the UIDLs of the next messages (or,
    // with the whole mailbox's unique-ids read, their look-ups), as long as
    // the window has room.
    while (!quitWanted_ && inFlight_.hasRoom()) {
        if (!toRetrieve_.empty()) {
            if (!sendRetr()) return;
        } else if (!messageNumbers_.empty() && uidlsListed_) {
            lookUpListed();
            // A look-up that failed has ended the dialogue.
            if (state_ == Pop3State::QuitSent || state_ == Pop3State::Closed) return;
        } else if (!messageNumbers_.empty() && inFlight_.size() + toRetrieve_.size() < inFlight_.window()) {
            if (!askUidl()) return;
        } else {
            break;
        }
    }
    if (inFlight_.idle()) {
        quit();
        return;
    }
    state_ = answerState();
}

bool Pop3Dialogue::askUidl() {
    const int number = messageNumbers_.front();
    messageNumbers_.pop_front();
    if (!sent("UIDL %d\r\n", number)) return false;
    inFlight_.push({false, number, {}, false});
    return true;
}

bool Pop3Dialogue::sent(const char* format, int number) { return sendFormatted(format, number); }

void Pop3Dialogue::quit() {
    if (!inFlight_.idle()) {
        // QUIT only once everything before it is answered.
        quitWanted_ = true;
        toRetrieve_.clear();
        state_ = answerState();
        return;
    }
    state_ = Pop3State::QuitSent;
    if (!env_.send("QUIT\r\n")) return;
    quitSent_ = true;
    if (!loggingOutShown_) {
        loggingOutShown_ = true;
        env_.showLine(kLoggingOut);
    }
}

void Pop3Dialogue::refused(std::string_view reason) {
    tally_.leaveForNextRun(reason);
    close();
}

void Pop3Dialogue::close() {
    state_ = Pop3State::Closed;
    env_.closeWithoutQuit();
}

bool Pop3Dialogue::sendFormatted(const char* format, int number) {
    return env_.send(formatBounded(format, number));
}

bool Pop3Dialogue::databaseHolds(const MigrationDatabase& database, bool keysFound, const std::string& what) {
    if (keysFound && database.usable()) return true;
    const std::string said = database.lastError();
    env_.report(what + ": " + (said.empty() ? std::string("the database gave no reason") : said));
    ending_.note(SessionEnd::DatabaseFailed, said.empty() ? what : said);
    tally_.leaveForNextRun("the migration database cannot be used");
    quit();
    return false;
}

bool Pop3Dialogue::accountKeys(MigrationDatabase& database, int& serverId, int& userId) {
    // Keys found once stay the account's for the session: two look-ups
    // less for every message's look-up and for its record.
    if (serverId_ == 0 || userId_ == 0) {
        // A zero key would mix this account's unique-ids with those of every
        // other account whose keys were missing too.
        serverId_ = database.serverId(account_.serverAddress);
        userId_ = serverId_ != 0 ? database.userId(account_.user, serverId_) : 0;
    }
    serverId = serverId_;
    userId = userId_;
    return serverId != 0 && userId != 0;
}

}  // namespace rvo
