#include "engine/core/net/line_assembler.h"

#include <algorithm>

namespace rvo {

namespace {
// Capacity kept after a very long line has gone; more is given back.
constexpr std::size_t kRetainedCapacity = 64 * 1024;
}  // namespace

bool LineAssembler::feed(std::string_view bytes, LineConsumer& consumer) {
    compact();
    buffer_.append(bytes.data(), bytes.size());
    const bool bounded = process(consumer);
    if (!bounded) clear();
    compact();
    return bounded;
}

bool LineAssembler::expectLiteral(std::uint64_t count) {
    if (literalOpen_) return false;
    literalOpen_ = true;
    literalLeft_ = count;
    return true;
}

void LineAssembler::clear() {
    buffer_.clear();
    start_ = scanFrom_ = 0;
    literalOpen_ = false;
    literalLeft_ = 0;
    longLine_ = false;
}

bool LineAssembler::process(LineConsumer& consumer) {
    // Positions are re-read from the members after every callback: the
    // consumer may open a literal or clear the assembler from inside it.
    for (;;) {
        if (literalOpen_) {
            const std::size_t available = buffer_.size() - start_;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(literalLeft_, available));
            if (n == 0 && literalLeft_ != 0) return true;
            const std::string_view chunk(buffer_.data() + start_, n);
            start_ += n;
            scanFrom_ = start_;
            literalLeft_ -= n;
            const bool last = literalLeft_ == 0;
            if (last) literalOpen_ = false;
            consumer.onLiteral(chunk, last);
            continue;
        }
        const std::size_t lf = buffer_.find('\n', scanFrom_);
        if (lf == std::string::npos) {
            scanFrom_ = buffer_.size();
            std::size_t open = buffer_.size() - start_;
            if (!longLine_ && open <= maxLineBytes_) return true;
            if (!longLine_) {
                if (!consumer.acceptsLongLine(std::string_view(buffer_.data() + start_, open))) return false;
                if (buffer_.size() - start_ != open) continue;  // the consumer cleared the stream
                longLine_ = true;
            }
            // A CR at the end may be the line end's first byte: it waits.
            if (open > 0 && buffer_.back() == '\r') --open;
            if (open == 0) return true;
            const std::string_view piece(buffer_.data() + start_, open);
            start_ += open;
            scanFrom_ = start_;
            consumer.onLinePiece(piece, false);
            continue;
        }
        std::string_view line(buffer_.data() + start_, lf - start_);
        start_ = scanFrom_ = lf + 1;
        if (lineEnd_ == LineEnd::Strip && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (longLine_) {
            longLine_ = false;
            consumer.onLinePiece(line, true);
            continue;
        }
        consumer.onLine(line);
    }
}

void LineAssembler::compact() {
    if (start_ > 0) {
        buffer_.erase(0, start_);
        scanFrom_ -= std::min(scanFrom_, start_);
        start_ = 0;
    }
    if (buffer_.empty() && buffer_.capacity() > kRetainedCapacity) buffer_.shrink_to_fit();
}

}  // namespace rvo
