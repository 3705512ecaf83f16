// The end-of-body rule of a POP3 multi-line answer: lines cut from any byte
// stream (CR LF or bare LF), "." alone ends the body, a leading "." of any
// other line is the server's stuffing. Checked: the stream split at any
// point reads as the stream whole; a correctly stuffed line re-stuffs to
// exactly the bytes received; and any message stuffed, terminated and read
// back gives its own lines and the octet count LIST gives for it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/net/line_assembler.h"
#include "engine/core/pop3/pop3_body.h"

namespace {

using namespace rvo;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

struct Read {
    std::vector<std::string> wire;     // the lines as received, up to the end
    std::vector<std::string> content;  // the same, un-stuffed
    bool ended = false;
    std::uint64_t octets = 0;
    bool operator==(const Read&) const = default;
};

class Reader : public LineConsumer {
public:
    void onLine(std::string_view line) override {
        if (body_.ended()) return;
        const Pop3BodyReader::Line read = body_.read(line);
        if (read.end) return;
        out.wire.emplace_back(line);
        out.content.emplace_back(read.content);
    }
    void onLiteral(std::string_view, bool) override {}
    Read finish() {
        out.ended = body_.ended();
        out.octets = body_.octets();
        return out;
    }
    Read out;

private:
    Pop3BodyReader body_;
};

Read readIn(std::string_view bytes, std::size_t cut) {
    LineAssembler assembler(LineEnd::Strip, 4096);
    Reader reader;
    if (!assembler.feed(bytes.substr(0, cut), reader)) return {};
    if (!assembler.feed(bytes.substr(cut), reader)) return {};
    return reader.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t cut = bytes.empty() ? 0 : data[0] % (bytes.size() + 1);

    const Read whole = readIn(bytes, bytes.size());
    check(readIn(bytes, cut) == whole);
    std::uint64_t octets = 0;
    for (std::size_t i = 0; i < whole.wire.size(); ++i) {
        const std::string& wire = whole.wire[i];
        const bool wellStuffed = wire.empty() || wire[0] != '.' || (wire.size() > 1 && wire[1] == '.');
        check((stuffedPop3Line(whole.content[i]) == wire) == wellStuffed);
        octets += whole.content[i].size() + 2;
    }
    check(octets == whole.octets);

    // The input as message lines: stuffed, terminated, read back.
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < bytes.size();) {
        std::size_t end = bytes.find('\n', from);
        if (end == std::string_view::npos) end = bytes.size();
        std::string_view line = bytes.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        from = end + 1;
    }
    std::string wire;
    std::uint64_t expectedOctets = 0;
    for (const std::string& line : lines) {
        wire += stuffedPop3Line(line) + "\r\n";
        expectedOctets += line.size() + 2;
    }
    wire += ".\r\n";
    const Read back = readIn(wire, cut % (wire.size() + 1));
    // Lines longer than the assembler takes end the stream instead.
    bool fits = true;
    for (const std::string& line : lines) fits = fits && line.size() < 4000;
    if (fits) {
        check(back.ended);
        check(back.content == lines);
        check(back.octets == expectedOctets);
    }
    return 0;
}
