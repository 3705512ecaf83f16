#pragma once
// One numbered section of import\accounts.ini; a snapshot read at construction.
#include <string>

#include "engine/core/settings/migration_settings.h"

namespace rvo {

class AccountRecord {
public:
    // Reads section [index] of import\accounts.ini next to the program.
    explicit AccountRecord(int index);
    AccountRecord(int index, std::string path);

    // Writes Status of the section; the result is not checked.
    void writeStatus(int value) const;

    const std::string& section() const { return section_; }
    const std::string& user() const { return values_.user; }
    const std::string& password() const { return values_.password; }
    const std::string& domain() const { return values_.domain; }
    int status() const { return values_.status; }
    int protocol() const { return values_.protocol; }
    const AccountValues& values() const { return values_; }
    const std::string& path() const { return path_; }

    static std::string defaultPath();

private:
    std::string section_;
    std::string path_;
    AccountValues values_;
};

}  // namespace rvo
