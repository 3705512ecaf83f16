#pragma once
// A private-profile (INI) file read and written with the platform's functions.
#include <string>
#include <vector>

namespace rvo {

class Profile {
public:
    explicit Profile(std::string path) : path_(std::move(path)) {}

    // At most 255 characters, as the file format has always been read.
    std::string readString(const char* section, const char* key, const char* fallback) const;
    int readInt(const char* section, const char* key, int fallback) const;
    bool writeString(const char* section, const char* key, const std::string& value) const;
    // The names of the file's sections, in file order; none for a missing
    // file. At most kSectionNamesMax bytes of names are read.
    std::vector<std::string> sectionNames() const;
    static constexpr unsigned long kSectionNamesMax = 1 << 20;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace rvo
