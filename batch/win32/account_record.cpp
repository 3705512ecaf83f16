#include "batch/win32/account_record.h"

#include "batch/win32/profile.h"
#include "engine/win32/platform/module_path.h"

namespace rvo {

std::string AccountRecord::defaultPath() { return moduleDirectory() + "import\\accounts.ini"; }

AccountRecord::AccountRecord(int index) : AccountRecord(index, defaultPath()) {}

AccountRecord::AccountRecord(int index, std::string path)
    : section_(std::to_string(index)), path_(std::move(path)) {
    const Profile file(path_);
    values_.user = file.readString(section_.c_str(), "U", "No User");
    values_.password = file.readString(section_.c_str(), "P", "No Password");
    values_.domain = file.readString(section_.c_str(), "D", "No Domain");
    values_.status = file.readInt(section_.c_str(), "Status", -1);
    values_.protocol = file.readInt(section_.c_str(), "A", 0);
    // Optional: empty signs in as U.
    values_.sourceUser = file.readString(section_.c_str(), "SOURCE_USER", "");
}

void AccountRecord::writeStatus(int value) const {
    Profile(path_).writeString(section_.c_str(), "Status", std::to_string(value));
}

}  // namespace rvo
