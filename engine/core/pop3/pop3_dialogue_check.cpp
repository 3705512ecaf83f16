// The check of a POP3 account (setCheckOnly): what a migration would copy,
// counted without retrieving anything or writing into the database.
#include <string>

#include "engine/core/pop3/pop3_dialogue.h"
#include "engine/core/text/format.h"

namespace rvo {

void Pop3Dialogue::sendCheckStat() {
    if (!env_.send("STAT\r\n")) return;
    checkStatusSeen_ = false;
    state_ = Pop3State::CheckStatSent;
}

bool Pop3Dialogue::checkStatus(std::string_view line, const char* command) {
    if (isPop3StatusLine(line)) return true;
    env_.report(formatBounded("Protocol error: the answer to %s does not begin with +OK or -ERR, so the server's "
                              "answers no longer match the commands and the session ends: %s",
                              command, std::string(line).c_str()));
    ending_.note(SessionEnd::Failed, "the server's answers went out of step with the commands");
    tally_.leaveForNextRun("the server's answers went out of step with the commands");
    close();
    return false;
}

void Pop3Dialogue::onCheckLine(std::string_view line) {
    switch (state_) {
        case Pop3State::CheckStatSent:
            if (!checkStatus(line, "STAT")) return;
            env_.report(line);
            if (line.starts_with("-")) return refusedCheck(line, "the server refused STAT");
            if (!env_.send("LIST\r\n")) return;
            checkStatusSeen_ = false;
            state_ = Pop3State::CheckListSent;
            return;
        case Pop3State::CheckListSent:
            if (!checkStatusSeen_) {
                if (!checkStatus(line, "LIST")) return;
                checkStatusSeen_ = true;
                env_.report(line);
                if (line.starts_with("-")) refusedCheck(line, "the server refused the list of messages");
                return;
            }
            if (line == ".") {
                if (messageNumbers_.empty()) return countChecked();
                if (!env_.send("UIDL\r\n")) return;
                    checkStatusSeen_ = false;
                state_ = Pop3State::CheckUidlSent;
                return;
            }
            if (const int number = listedMessageNumber(line); number > 0) {
                if (listedSizes_.try_emplace(number, listedMessageSize(line)).second) messageNumbers_.push_back(number);
            } else {
                env_.report(formatBounded("Listing line without a message number ignored: %s", std::string(line).c_str()));
            }
            return;
        case Pop3State::CheckUidlSent:
            if (!checkStatusSeen_) {
                if (!checkStatus(line, "UIDL")) return;
                checkStatusSeen_ = true;
                if (line.starts_with("+")) return;
                // Without unique-ids nothing can be known as stored: every
                // message counts as one to copy.
                env_.report(line);
                return countChecked();
            }
            if (line == ".") return countChecked();
            readUidlListEntry(line);
            return;
        default:
            return;
    }
}

void Pop3Dialogue::refusedCheck(std::string_view line, std::string_view reason) {
    // The run sees the server's words: a "try later" answer may be retried.
    ending_.noteRefusal(line);
    ending_.note(SessionEnd::ServerError, line);
    tally_.leaveForNextRun(reason);
    quit();
}

void Pop3Dialogue::countChecked() {
    reportUnusedUidlLines();
    std::uint64_t alreadyStored = 0;
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
    {
        // Read only: the keys and the unique-ids are looked up, never added.
        const auto database = env_.openDatabase();
        int serverId = 0;
        int userId = 0;
        const bool keys = database->usable() && accountKeys(*database, serverId, userId);
        for (const int number : messageNumbers_) {
            bool known = false;
            const auto listed = listedUidls_.find(number);
            if (keys && database->usable() && listed != listedUidls_.end() && listed->second.problem.empty()) {
                // The same unique-id on a later message is recorded with its occurrence.
                auto& [firstNumber, count] = occurrences_.try_emplace(listed->second.uidl, number, 0).first->second;
                (void)firstNumber;
                const std::string recorded =
                    ++count == 1 ? listed->second.uidl : listed->second.uidl + " " + std::to_string(count);
                known = database->uidlId(serverId, userId, recorded) != 0;
            }
            if (known) {
                ++alreadyStored;
            } else {
                ++messages;
                const long long size = listedSizes_[number];
                if (size > 0) bytes += static_cast<std::uint64_t>(size);
            }
        }
        // A database that cannot be read is no reason to stop the check:
        // the counts then take every message as one to copy.
        if (!database->usable()) {
            const std::string said = database->lastError();
            env_.report("The migration database " + database->name() + " could not be read (" +
                        (said.empty() ? std::string("the database gave no reason") : said) +
                        "); no message is counted as already stored by it");
            messages += alreadyStored;
            alreadyStored = 0;
            bytes = 0;
            for (const int number : messageNumbers_)
                if (listedSizes_[number] > 0) bytes += static_cast<std::uint64_t>(listedSizes_[number]);
        }
    }
    checkCounts_.folders = 1;
    checkCounts_.messages = messages;
    checkCounts_.bytes = bytes;
    checkCounts_.alreadyStored = alreadyStored;
    env_.report("Check of the mailbox: " + std::to_string(messages) + " messages (" + std::to_string(bytes) +
                " bytes) to copy, " + std::to_string(alreadyStored) + " already stored");
    checkComplete_ = true;
    quit();
}

}  // namespace rvo
