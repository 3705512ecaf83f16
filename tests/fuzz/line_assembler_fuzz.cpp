// Lines and literals cut from any byte stream: however the stream is split,
// the same lines and literal bytes come out, and none is longer than allowed.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/net/line_assembler.h"

namespace {

class Collector : public rvo::LineConsumer {
public:
    explicit Collector(rvo::LineAssembler& assembler) : assembler_(assembler) {}
    void onLine(std::string_view line) override {
        out += "L" + std::to_string(line.size()) + ":" + std::string(line);
        // A line ending in a digit opens a literal of that many bytes.
        if (!line.empty() && line.back() >= '0' && line.back() <= '9') assembler_.expectLiteral(line.back() - '0');
    }
    void onLiteral(std::string_view chunk, bool last) override {
        out += std::string(chunk);
        if (last) out += "|";
    }
    std::string out;

private:
    rvo::LineAssembler& assembler_;
};

std::string run(std::string_view bytes, std::size_t piece, bool& bounded) {
    rvo::LineAssembler assembler(rvo::LineEnd::Strip, 256);
    Collector collector(assembler);
    bounded = true;
    while (!bytes.empty() && bounded) {
        const std::size_t n = bytes.size() < piece ? bytes.size() : piece;
        bounded = assembler.feed(bytes.substr(0, n), collector);
        bytes.remove_prefix(n);
    }
    return collector.out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bool wholeBounded = false, splitBounded = false;
    const std::string whole = run(bytes, bytes.size() + 1, wholeBounded);
    const std::string split = run(bytes, 1 + size % 7, splitBounded);
    // Only a stream that overran the limit may come out differently.
    if (wholeBounded && splitBounded && whole != split) __builtin_trap();
    return 0;
}
