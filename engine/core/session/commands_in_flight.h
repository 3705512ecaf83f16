#pragma once
// The commands a server has been sent and has not answered yet, oldest
// first, each with what its owner needs when the answer comes: the one
// model of what is in flight for every protocol dialogue.
//
// It only keeps the commands; how an answer finds its command is the
// protocol's: POP3 answers strictly in the order of the commands, so the
// oldest takes each answer; IMAP matches a completion by its tag, the oldest
// first among commands that share one.
//
// The window is how many commands the owner's scheduling keeps in flight at
// once; 1 is the strict one-at-a-time dialogue. The owner asks hasRoom()
// before it sends; push() itself never refuses, because a protocol may have
// to send a command beyond the window (IMAP's LOGOUT after an answer out of
// step). mostInFlight() is the most ever in flight at once, so that a test
// or a benchmark can see that the window held.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

namespace rvo {

template <typename Entry>
class CommandsInFlight {
public:
    // A window of 0 is taken as 1: no command could ever be sent otherwise.
    explicit CommandsInFlight(std::size_t window = 1) { setWindow(window); }

    std::size_t window() const { return window_; }
    // A window agreed later (POP3 learns from CAPA whether it may pipeline).
    // Commands already in flight stay, even beyond a smaller window.
    void setWindow(std::size_t window) { window_ = std::max<std::size_t>(window, 1); }

    std::size_t size() const { return entries_.size(); }
    bool idle() const { return entries_.empty(); }
    bool hasRoom() const { return entries_.size() < window_; }
    std::size_t mostInFlight() const { return mostInFlight_; }

    // A command was sent: it is the newest in flight.
    void push(Entry entry) {
        entries_.push_back(std::move(entry));
        mostInFlight_ = std::max(mostInFlight_, entries_.size());
    }

    // The oldest command in flight; only when not idle.
    Entry& oldest() { return entries_.front(); }
    const Entry& oldest() const { return entries_.front(); }

    // The oldest command was answered: off the queue, handed to the caller.
    // Only when not idle.
    Entry takeOldest() {
        Entry entry = std::move(entries_.front());
        entries_.pop_front();
        return entry;
    }

    // The oldest command `answers` holds for, off the queue before the
    // caller acts on it (its handler may send the next command); none when
    // no command matches. `answers` is asked oldest first, and no further
    // once it holds.
    template <typename Predicate>
    std::optional<Entry> takeFirst(Predicate answers) {
        const auto it = std::find_if(entries_.begin(), entries_.end(), answers);
        if (it == entries_.end()) return std::nullopt;
        std::optional<Entry> entry(std::move(*it));
        entries_.erase(it);
        return entry;
    }

    template <typename Predicate>
    bool any(Predicate holds) const {
        return std::any_of(entries_.begin(), entries_.end(), holds);
    }

    // Every command in flight, oldest first, to be marked by the caller.
    template <typename Visit>
    void forEach(Visit visit) {
        for (Entry& entry : entries_) visit(entry);
    }

    // No answer is awaited any more (the conversation is being abandoned).
    // mostInFlight() keeps what was.
    void forget() { entries_.clear(); }

private:
    std::size_t window_ = 1;
    std::deque<Entry> entries_;
    std::size_t mostInFlight_ = 0;
};

}  // namespace rvo
