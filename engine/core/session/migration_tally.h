#pragma once
// What one account's session did to its messages, and why the account is
// left for the next run when it is: the account's closing log line.
#include <cstdint>
#include <string>
#include <string_view>

namespace rvo {

class MigrationTally {
public:
    // A message committed to the store; `bytes` is its file's size.
    void countStored(std::uint64_t bytes = 0) {
        ++stored_;
        bytesStored_ += bytes;
    }
    void countRecognised() { ++recognised_; }
    void countFailed() { ++failed_; }

    // The account is not complete; the first reason is the one the summary gives.
    void leaveForNextRun(std::string_view reason);
    bool leftForNextRun() const { return left_; }

    int stored() const { return stored_; }
    int recognised() const { return recognised_; }
    int failed() const { return failed_; }
    std::uint64_t bytesStored() const { return bytesStored_; }
    // The reason the account is left for, as first given (may be empty).
    const std::string& firstReason() const { return firstReason_; }

    // "Messages stored: a, recognised as stored: b, failed: c; " and either
    // "the account is migrated" or why it is left. `otherwise` says why when
    // no reason was given and no message failed.
    std::string summary(bool migrated, std::string_view otherwise) const;

private:
    int stored_ = 0;
    int recognised_ = 0;
    int failed_ = 0;
    std::uint64_t bytesStored_ = 0;
    bool left_ = false;
    std::string firstReason_;
};

}  // namespace rvo
