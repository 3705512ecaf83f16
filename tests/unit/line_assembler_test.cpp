#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/net/line_assembler.h"

namespace rvo {
namespace {

using namespace std::string_literals;

// Records what the assembler hands over. Consecutive literal pieces are
// joined, so a stream cut anywhere must give the same record. A line ending
// in "{n}" (before its CR) opens a literal of n bytes, as the IMAP session does.
class Recorder : public LineConsumer {
public:
    explicit Recorder(LineAssembler& assembler) : assembler_(assembler) {}

    void onLine(std::string_view line) override {
        events.push_back("L:" + std::string(line));
        std::string_view body = line;
        if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
        if (body.size() >= 3 && body.back() == '}') {
            const std::size_t open = body.rfind('{');
            if (open != std::string_view::npos) {
                const std::string digits(body.substr(open + 1, body.size() - open - 2));
                EXPECT_TRUE(assembler_.expectLiteral(std::strtoull(digits.c_str(), nullptr, 10)));
            }
        }
    }
    void onLiteral(std::string_view chunk, bool last) override {
        ++pieces;
        largestPiece = std::max(largestPiece, chunk.size());
        if (!inLiteral_) events.push_back("B:");
        events.back().append(chunk);
        inLiteral_ = !last;
        if (last) events.back() += "|end";
    }

    std::vector<std::string> events;
    std::size_t pieces = 0;
    std::size_t largestPiece = 0;

private:
    LineAssembler& assembler_;
    bool inLiteral_ = false;
};

std::vector<std::string> feedInPieces(std::string_view input, const std::vector<std::size_t>& cuts,
                                      LineEnd lineEnd) {
    LineAssembler assembler(lineEnd);
    Recorder recorder(assembler);
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        assembler.feed(input.substr(from, cut - from), recorder);
        from = cut;
    }
    assembler.feed(input.substr(from), recorder);
    return recorder.events;
}

// The same record whole, cut once at every offset, cut twice at every pair
// of offsets, and fed byte by byte.
void expectSameWhereverCut(std::string_view input, const std::vector<std::string>& expected,
                           LineEnd lineEnd = LineEnd::KeepCarriageReturn) {
    ASSERT_EQ(feedInPieces(input, {}, lineEnd), expected);
    for (std::size_t i = 0; i <= input.size(); ++i) {
        ASSERT_EQ(feedInPieces(input, {i}, lineEnd), expected) << "cut at " << i;
        for (std::size_t j = i; j <= input.size(); ++j)
            ASSERT_EQ(feedInPieces(input, {i, j}, lineEnd), expected) << "cuts at " << i << ", " << j;
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < input.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(feedInPieces(input, everyByte, lineEnd), expected);
}

TEST(LineAssembler, LinesComeOutWholeAndInOrderWhereverTheStreamIsCut) {
    const std::string input = "* OK ready\r\nA000 OK LOGIN done\n\r\n\nlast\r\n";
    expectSameWhereverCut(input, {"L:* OK ready\r", "L:A000 OK LOGIN done", "L:\r", "L:", "L:last\r"});
    expectSameWhereverCut(input, {"L:* OK ready", "L:A000 OK LOGIN done", "L:", "L:", "L:last"}, LineEnd::Strip);
}

TEST(LineAssembler, OnlyTheCarriageReturnBeforeTheLineFeedIsALineEnd) {
    // A bare CR is data; stripping takes exactly one CR before the LF.
    expectSameWhereverCut("a\rb\r\r\n\r\n", {"L:a\rb\r", "L:"}, LineEnd::Strip);
    expectSameWhereverCut("a\rb\r\r\n", {"L:a\rb\r\r"});
}

TEST(LineAssembler, ZeroBytesAreData) {
    const std::string input = "+OK\0tail\r\n\0\n\0\0\r\n"s;
    const std::vector<std::string> expected{"L:+OK\0tail"s, "L:\0"s, "L:\0\0"s};
    expectSameWhereverCut(input, expected, LineEnd::Strip);
    const auto kept = feedInPieces(input, {}, LineEnd::KeepCarriageReturn);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].size(), 2u + 9u);  // "L:" + "+OK\0tail\r"
}

TEST(LineAssembler, TextAfterTheLastLineFeedWaitsForMore) {
    LineAssembler assembler;
    Recorder recorder(assembler);
    assembler.feed("one\ntw", recorder);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"L:one"}));
    EXPECT_EQ(assembler.pendingBytes(), 2u);
    assembler.feed("o", recorder);
    EXPECT_EQ(recorder.events.size(), 1u);
    assembler.feed("\n", recorder);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"L:one", "L:two"}));
    EXPECT_EQ(assembler.pendingBytes(), 0u);

    assembler.feed("left", recorder);
    assembler.clear();
    assembler.feed("new\n", recorder);
    EXPECT_EQ(recorder.events.back(), "L:new");
}

TEST(LineAssembler, LineLongerThanAnyReceiveComesOutWhole) {
    std::string longLine;
    for (int i = 0; longLine.size() < 300000; ++i) longLine += static_cast<char>('a' + i % 26);
    longLine[1000] = '\0';
    const std::string input = longLine + "\r\nnext\r\n";
    LineAssembler assembler(LineEnd::Strip);
    Recorder recorder(assembler);
    for (std::size_t at = 0; at < input.size(); at += 2047)
        assembler.feed(std::string_view(input).substr(at, 2047), recorder);
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0], "L:" + longLine);
    EXPECT_EQ(recorder.events[1], "L:next");
}

TEST(LineAssembler, LiteralBytesPassRawThenLinesResume) {
    // The literal holds line ends, a zero byte and something that looks like
    // a completion; none of it is a line.
    const std::string body = "Subject: x\r\n\r\nA004 OK\n\0{3}\r\n"s;
    const std::string input = "* 1 FETCH (BODY[] {" + std::to_string(body.size()) + "}\r\n" + body +
                              ")\r\nA004 OK FETCH done\r\n";
    expectSameWhereverCut(input, {"L:* 1 FETCH (BODY[] {" + std::to_string(body.size()) + "}\r",
                                  "B:" + body + "|end", "L:)\r", "L:A004 OK FETCH done\r"});
}

TEST(LineAssembler, LiteralsBackToBackAndEmptyLiteral) {
    // A line right after a literal may open the next one; {0} gives one
    // empty last piece so the consumer always sees the literal complete.
    expectSameWhereverCut("a {2}\r\nxy b {0}\r\n c {1}\nz\r\nend\n",
                          {"L:a {2}\r", "B:xy|end", "L: b {0}\r", "B:|end", "L: c {1}", "B:z|end", "L:\r", "L:end"});
}

TEST(LineAssembler, LiteralStreamsAsItArrivesWithoutPiling) {
    LineAssembler assembler;
    Recorder recorder(assembler);
    const std::size_t size = 5 * 1024 * 1024;
    assembler.feed("* 7 FETCH (BODY[] {" + std::to_string(size) + "}\r\n", recorder);
    EXPECT_TRUE(assembler.inLiteral());
    std::string piece(2047, 'm');
    std::size_t sent = 0;
    while (sent < size) {
        const std::size_t n = std::min(piece.size(), size - sent);
        assembler.feed(std::string_view(piece).substr(0, n), recorder);
        sent += n;
        ASSERT_EQ(assembler.pendingBytes(), 0u);  // nothing held back
    }
    EXPECT_FALSE(assembler.inLiteral());
    EXPECT_EQ(recorder.pieces, (size + 2046) / 2047);
    EXPECT_EQ(recorder.largestPiece, 2047u);
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[1].size(), 2 + size + 4);  // "B:" + bytes + "|end"
    assembler.feed(")\r\n", recorder);
    EXPECT_EQ(recorder.events.back(), "L:)\r");
}

TEST(LineAssembler, SecondLiteralRequestWhileOneIsOpenIsRefused) {
    LineAssembler assembler;
    EXPECT_TRUE(assembler.expectLiteral(4));
    EXPECT_FALSE(assembler.expectLiteral(9));
    Recorder recorder(assembler);
    assembler.feed("abcdef\n", recorder);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"B:abcd|end", "L:ef"}));
}

// A handler that throws must neither see its line again nor lose the lines
// after it.
class ThrowingConsumer : public LineConsumer {
public:
    void onLine(std::string_view line) override {
        lines.emplace_back(line);
        if (line == "bad") throw std::runtime_error("handler failed");
    }
    void onLiteral(std::string_view, bool) override {}
    std::vector<std::string> lines;
};

TEST(LineAssembler, ThrowingHandlerLosesNothingAndRepeatsNothing) {
    LineAssembler assembler(LineEnd::Strip);
    ThrowingConsumer consumer;
    EXPECT_THROW(assembler.feed("one\r\nbad\r\nthree\r\nfou", consumer), std::runtime_error);
    assembler.feed("r\r\n", consumer);
    EXPECT_EQ(consumer.lines, (std::vector<std::string>{"one", "bad", "three", "four"}));
}

}  // namespace
}  // namespace rvo

namespace rvo {
namespace {

// A line without a line feed may not grow without end; a literal may.
TEST(LineAssembler, AnUnfinishedLinePastTheLimitIsRefusedALiteralIsNot) {
    LineAssembler assembler(LineEnd::KeepCarriageReturn, 100);
    Recorder recorder(assembler);
    EXPECT_TRUE(assembler.feed(std::string(100, 'x'), recorder));
    EXPECT_FALSE(assembler.feed("y", recorder));
    EXPECT_EQ(assembler.pendingBytes(), 0u);  // dropped, not kept
    EXPECT_TRUE(recorder.events.empty());

    LineAssembler literal(LineEnd::KeepCarriageReturn, 100);
    Recorder reader(literal);
    EXPECT_TRUE(literal.feed("* 1 FETCH (BODY[] {300}\r\n", reader));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(literal.feed(std::string(100, 'z'), reader));
    EXPECT_TRUE(literal.feed(")\r\n", reader));
    ASSERT_EQ(reader.events.size(), 3u);
    EXPECT_EQ(reader.events[1].size(), std::string("B:").size() + 300 + std::string("|end").size());
    // A complete line longer than the limit that arrives whole is a line.
    EXPECT_TRUE(literal.feed(std::string(150, 'w') + "\n", reader));
}

// A consumer that reads lines starting with "#" in pieces once they are too long.
class PieceReader : public LineConsumer {
public:
    // A long line that arrives whole with its line end is one line.
    void onLine(std::string_view line) override {
        events.push_back((line.starts_with("#") ? "P:" : "L:") + std::string(line) + (line.starts_with("#") ? "|end" : ""));
    }
    void onLiteral(std::string_view, bool) override {}
    bool acceptsLongLine(std::string_view start) override { return start.starts_with("#"); }
    void onLinePiece(std::string_view piece, bool last) override {
        EXPECT_FALSE(piece.empty() && !last);
        EXPECT_FALSE(!last && piece.back() == '\r');
        largestPiece = std::max(largestPiece, piece.size());
        if (!open_) events.push_back("P:");
        events.back().append(piece);
        open_ = !last;
        if (last) events.back() += "|end";
    }
    std::vector<std::string> events;
    std::size_t largestPiece = 0;

private:
    bool open_ = false;
};

TEST(LineAssembler, ALongLineTheConsumerAcceptsComesInBoundedPieces) {
    const std::string longLine = "#" + std::string(40, '1') + "\r" + std::string(40, '2');
    const std::string input = "short\r\n" + longLine + "\r\nafter\r\n";
    for (const LineEnd lineEnd : {LineEnd::KeepCarriageReturn, LineEnd::Strip}) {
        const std::string cr = lineEnd == LineEnd::Strip ? "" : "\r";
        const std::vector<std::string> expected = {"L:short" + cr, "P:" + longLine + cr + "|end", "L:after" + cr};
        for (std::size_t piece = 1; piece <= input.size(); ++piece) {
            LineAssembler assembler(lineEnd, 16);
            PieceReader reader;
            for (std::size_t from = 0; from < input.size(); from += piece)
                ASSERT_TRUE(assembler.feed(std::string_view(input).substr(from, piece), reader));
            ASSERT_EQ(reader.events, expected) << "pieces of " << piece;
            // Nothing beyond the bound and one receive is ever held.
            EXPECT_LE(assembler.pendingBytes(), 16u);
            EXPECT_LE(reader.largestPiece, 16 + piece);
        }
    }
    // Other long lines are still refused.
    LineAssembler assembler(LineEnd::KeepCarriageReturn, 16);
    PieceReader reader;
    EXPECT_FALSE(assembler.feed("x" + std::string(40, '1'), reader));
    EXPECT_TRUE(reader.events.empty());
}

}  // namespace
}  // namespace rvo
