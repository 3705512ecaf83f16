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

}  // namespace rvo
