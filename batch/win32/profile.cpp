#include "batch/win32/profile.h"

#include <windows.h>

namespace rvo {

std::string Profile::readString(const char* section, const char* key, const char* fallback) const {
    char buffer[256] = {};
    const DWORD n = GetPrivateProfileStringA(section, key, fallback, buffer, sizeof buffer, path_.c_str());
    return std::string(buffer, n);
}

int Profile::readInt(const char* section, const char* key, int fallback) const {
    return static_cast<int>(GetPrivateProfileIntA(section, key, fallback, path_.c_str()));
}

bool Profile::writeString(const char* section, const char* key, const std::string& value) const {
    return WritePrivateProfileStringA(section, key, value.c_str(), path_.c_str()) != 0;
}

std::vector<std::string> Profile::sectionNames() const {
    // A list that does not fit comes back cut, its length two short of the
    // buffer's; a larger buffer is tried until it fits or reaches the bound.
    std::string buffer(4096, '\0');
    DWORD n = 0;
    for (;;) {
        n = GetPrivateProfileSectionNamesA(buffer.data(), static_cast<DWORD>(buffer.size()), path_.c_str());
        if (n + 2 < buffer.size() || buffer.size() >= kSectionNamesMax) break;
        buffer.assign(buffer.size() * 2, '\0');
    }
    std::vector<std::string> names;
    for (std::size_t start = 0; start < n;) {
        const std::size_t end = buffer.find('\0', start);
        if (end == std::string::npos || end > n) break;
        if (end > start) names.emplace_back(buffer, start, end - start);
        start = end + 1;
    }
    return names;
}

}  // namespace rvo
