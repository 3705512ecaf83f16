#pragma once
// The engine's one exception type: a fixed text of at most 2048 characters,
// thrown by value and copied byte for byte.
#include <cstring>
#include <string_view>

#include "engine/core/text/format.h"

namespace rvo {

class Exception {
public:
    explicit Exception(std::string_view text) {
        const std::size_t n = text.size() < kBoundedTextMax ? text.size() : kBoundedTextMax;
        std::memcpy(text_, text.data(), n);
        text_[n] = '\0';
    }
    const char* text() const { return text_; }

private:
    char text_[kBoundedTextMax + 1] = {};
};

}  // namespace rvo
