#include "engine/core/pop3/pop3_body.h"

namespace rvo {

Pop3BodyReader::Line Pop3BodyReader::read(std::string_view line) {
    if (ended_) return {true, {}};
    if (line == ".") {
        ended_ = true;
        return {true, {}};
    }
    if (!line.empty() && line.front() == '.') line.remove_prefix(1);
    octets_ += line.size() + 2;
    return {false, line};
}

std::string stuffedPop3Line(std::string_view content) {
    std::string out;
    out.reserve(content.size() + 1);
    if (!content.empty() && content.front() == '.') out.push_back('.');
    out.append(content);
    return out;
}

}  // namespace rvo
