#pragma once
// Cuts the bytes a server sends into lines, and hands over a counted run of
// raw bytes (an IMAP literal) when the consumer asks for one. Binary safe:
// a zero byte is an ordinary byte, every line comes with its length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rvo {

enum class LineEnd {
    // The line without its LF; the CR of a CR LF stays, so line + "\n" are
    // exactly the bytes received (the IMAP session keeps message bytes).
    KeepCarriageReturn,
    // The line without its CR LF or bare LF.
    Strip,
};

class LineConsumer {
public:
    virtual ~LineConsumer() = default;
    virtual void onLine(std::string_view line) = 0;
    // The next piece of a requested literal, as it arrives; `last` marks the
    // piece that completes it. A literal of zero bytes is one empty last piece.
    virtual void onLiteral(std::string_view chunk, bool last) = 0;
    // An unfinished line has grown past the bound; `start` is what came of
    // it so far. True: the consumer reads this line in pieces as they arrive
    // (onLinePiece, from `start` on), so the bound does not apply to it;
    // false: the line is refused. Only a consumer that can read a line
    // without holding it (a list of numbers) says yes.
    virtual bool acceptsLongLine(std::string_view start) {
        (void)start;
        return false;
    }
    // The next piece of an accepted long line; `last` marks the piece that
    // ends it, the line end handled as for onLine. A CR never ends a piece
    // that is not the last.
    virtual void onLinePiece(std::string_view piece, bool last) {
        (void)piece;
        (void)last;
    }
};

// The longest line a server may send, line end excluded; literals have no
// limit (they stream on). A longer line is a broken or hostile server.
inline constexpr std::size_t kMaxLineBytes = 4 * 1024 * 1024;

class LineAssembler {
public:
    explicit LineAssembler(LineEnd lineEnd = LineEnd::KeepCarriageReturn, std::size_t maxLineBytes = kMaxLineBytes)
        : lineEnd_(lineEnd), maxLineBytes_(maxLineBytes) {}

    // Hands every complete line (and literal piece) in `bytes` and in what
    // earlier calls left to `consumer`, in order. Text after the last LF
    // waits for the next call. The views are valid only during the callback.
    // A consumer must not call feed() from inside a callback. When a callback
    // throws, the line or piece it got counts as delivered and the bytes after
    // it are kept for the next call. False when the unfinished line has grown
    // past the limit and the consumer does not read it in pieces: what was
    // kept is dropped, and the caller must end the conversation (nothing
    // after it can be told apart from it).
    bool feed(std::string_view bytes, LineConsumer& consumer);

    // The `count` bytes after the line being handled are raw literal bytes;
    // line mode resumes after them. Meant to be called from onLine (a line
    // ending in "{n}"). False, and nothing changes, while a literal is open.
    bool expectLiteral(std::uint64_t count);

    bool inLiteral() const { return literalOpen_; }
    // Bytes kept for the next call (an unfinished line).
    std::size_t pendingBytes() const { return buffer_.size() - start_; }
    void clear();

private:
    bool process(LineConsumer& consumer);
    void compact();

    LineEnd lineEnd_;
    std::size_t maxLineBytes_;
    std::string buffer_;
    std::size_t start_ = 0;     // first byte not yet handed over
    std::size_t scanFrom_ = 0;  // bytes before it hold no LF of the open line
    bool literalOpen_ = false;
    std::uint64_t literalLeft_ = 0;
    bool longLine_ = false;  // the open line goes to onLinePiece
};

}  // namespace rvo
