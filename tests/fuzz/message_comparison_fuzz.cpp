// The comparison of a fetched message with a stored copy, which leaves out
// the bookkeeping headers of mailbox-file servers. Checked: fed whole or in
// pieces of any size, in either order, it gives one answer; a message is
// always the same as itself; the answer does not depend on which side is which.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/store/message_comparison.h"

namespace {

void check(bool holds) {
    if (!holds) __builtin_trap();
}

using rvo::MessageComparator;

bool fedInPieces(std::string_view first, std::string_view second, std::size_t a, std::size_t b) {
    MessageComparator comparator;
    std::string_view rest[2] = {first, second};
    const std::size_t piece[2] = {a, b};
    while (!comparator.decided()) {
        const MessageComparator::Side side = comparator.wanted();
        const int s = side == MessageComparator::Side::First ? 0 : 1;
        if (rest[s].empty()) {
            comparator.end(side);
            continue;
        }
        const std::size_t n = rest[s].size() < piece[s] ? rest[s].size() : piece[s];
        comparator.feed(side, rest[s].substr(0, n));
        rest[s].remove_prefix(n);
    }
    return comparator.same();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // Two piece sizes, then the two messages split where a zero byte
    // stands (or the second is the first with one byte changed).
    const std::size_t a = 1 + data[0] % 17;
    const std::size_t b = 1 + data[1] % 23;
    const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::size_t zero = input.find('\0');
    std::string_view first = input;
    std::string second;
    if (zero != std::string_view::npos) {
        first = input.substr(0, zero);
        second = std::string(input.substr(zero + 1));
    } else {
        second = std::string(input);
        second[second.size() / 2] ^= 0x20;
    }
    const bool whole = rvo::sameMessageContent(first, second);
    check(rvo::sameMessageContent(second, first) == whole);
    check(fedInPieces(first, second, a, b) == whole);
    check(fedInPieces(second, first, b, a) == whole);
    check(fedInPieces(first, second, 1, 1) == whole);
    check(rvo::sameMessageContent(first, first));
    check(fedInPieces(first, first, a, b));
    return 0;
}
