#pragma once
// Keeps a server's repeated untagged lines from filling the log. Within the
// answer to one command, the first lines of each kind (the word after "* ",
// or after "* n " for FETCH, EXPUNGE and the like) are logged; the rest are
// counted, and one line says how many when the command completes. A server
// that sends 50,000 status lines then adds a line to the log, not 9 MB.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace rvo {

class UntaggedLogLimit {
public:
    // `perKind` lines of each kind are logged per answer.
    explicit UntaggedLogLimit(std::size_t perKind) : perKind_(perKind) {}

    // True: log the line. Counted against its kind either way.
    bool admit(std::string_view line);
    // A command completed (or the session ends): the summary line when lines
    // were held back, and the counts start again.
    std::optional<std::string> completed();

private:
    std::size_t perKind_;
    std::map<std::string, std::size_t> logged_;
    std::uint64_t heldBack_ = 0;
};

}  // namespace rvo
