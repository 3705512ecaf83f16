#include "engine/core/imap/imap_response_reader.h"


namespace rvo {

void ImapResponseReader::onLine(std::string_view line) {
    if (broken_) return;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!open_) {
        response_.clear();
        collected_ = 0;
        textBytes_ = 0;
        taken_ = false;
        literalsAllowed_ = mayCarryLiterals(line);
    }
    textBytes_ += line.size();
    if (response_.size() >= limits_.responseParts || textBytes_ > limits_.textBytes) {
        broken_ = true;
        return client_.onProtocolError("The server's response grows without end (" +
                                       std::to_string(response_.size()) + " parts, " + std::to_string(textBytes_) +
                                       " bytes)");
    }
    response_.push_back({ImapResponsePart::Kind::Text, std::string(line)});
    if (literalsAllowed_) {
        // What follows a marker that cannot be read would be taken for
        // responses: a message's lines would reach the log and the dialogue.
        if (const std::optional<std::string_view> bad = unreadableLiteralMarker(line)) {
            broken_ = true;
            return client_.onProtocolError("The server sent a literal marker that cannot be read: " +
                                           std::string(*bad));
        }
        if (const std::optional<std::uint64_t> size = literalMarker(line)) {
            open_ = true;
            if (client_.takesLiteral(response_, *size)) {
                sink_ = Sink::Client;
                taken_ = true;
            } else if (*size > limits_.collectBytes - collected_) {
                sink_ = Sink::Drop;
            } else {
                sink_ = Sink::Collect;
                collected_ += *size;
            }
            response_.push_back(
                {sink_ == Sink::Collect ? ImapResponsePart::Kind::Literal : ImapResponsePart::Kind::Streamed, {}});
            client_.readLiteral(*size);
            return;
        }
    }
    open_ = false;
    client_.onResponse(response_);
}

void ImapResponseReader::onLiteral(std::string_view chunk) {
    if (broken_) return;
    switch (sink_) {
        case Sink::Collect:
            response_.back().bytes.append(chunk);
            break;
        case Sink::Client:
            client_.onTakenLiteral(chunk);
            break;
        case Sink::Drop:
            break;
    }
}

}  // namespace rvo
