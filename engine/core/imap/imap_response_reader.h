#pragma once
// Reads IMAP4 responses whole: a line, or a line ending in a literal marker
// "{n}", the n bytes of the literal and the line that continues it, and so
// on. Literals are read by byte count, never as lines. Every IMAP4 dialogue
// of the engine reads its server through one of these.
//
// The owner feeds lines and literal pieces in and gets each complete
// response back. A literal is kept with the response (up to a limit per
// response; more is read past and dropped), or, when the owner takes it
// (a message body), handed on piece by piece as it arrives.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/imap/imap_syntax.h"
#include "engine/core/net/line_assembler.h"

namespace rvo {

struct ImapResponseLimits {
    // Literals kept in memory per response, in bytes.
    std::uint64_t collectBytes = 1024 * 1024;
    // Lines and literals of one response; no real server sends more.
    std::size_t responseParts = 10000;
    // The text of a response's lines together, bounded like a single line.
    std::size_t textBytes = kMaxLineBytes;
};

class ImapResponseReader {
public:
    class Client {
    public:
        virtual ~Client() = default;
        // The next `count` bytes are a literal: ask the line reader for them.
        virtual void readLiteral(std::uint64_t count) = 0;
        // A literal of `size` bytes is announced at the end of `soFar`; true:
        // its bytes go to onTakenLiteral instead of the response.
        virtual bool takesLiteral(const ImapResponse& soFar, std::uint64_t size) {
            (void)soFar;
            (void)size;
            return false;
        }
        virtual void onTakenLiteral(std::string_view chunk) { (void)chunk; }
        // A complete response; valid until the next line is fed.
        virtual void onResponse(const ImapResponse& response) = 0;
        // The server broke the protocol so that nothing after this can be
        // read (a literal marker without a readable size, a response that
        // never ends): the owner must end the conversation. Nothing more is read.
        virtual void onProtocolError(const std::string& what) = 0;
    };

    explicit ImapResponseReader(Client& client, ImapResponseLimits limits = {}) : client_(client), limits_(limits) {}

    // One line from the server without its LF (a CR before it may remain).
    void onLine(std::string_view line);
    // The next piece of the literal last asked for.
    void onLiteral(std::string_view chunk);

    // The response being read (complete while onResponse runs).
    const ImapResponse& response() const { return response_; }
    // A response has begun and is waiting for its literal or the line after it.
    bool midResponse() const { return open_; }
    // A literal of this response went to the client.
    bool literalTaken() const { return taken_; }

private:
    enum class Sink { Collect, Client, Drop };

    Client& client_;
    ImapResponseLimits limits_;
    ImapResponse response_;
    bool open_ = false;
    bool literalsAllowed_ = false;
    bool taken_ = false;
    Sink sink_ = Sink::Drop;
    std::uint64_t collected_ = 0;
    std::size_t textBytes_ = 0;
    bool broken_ = false;
};

}  // namespace rvo
