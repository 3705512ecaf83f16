#pragma once
// Splitting a Windows program path into the parts the log and the settings use.
#include <string>
#include <string_view>

namespace rvo {

struct ModulePathParts {
    std::string directory;  // drive and directory, ending in a backslash: "C:\tools\"
    std::string baseName;   // file name without extension: "kelvard"
};

ModulePathParts splitModulePath(std::string_view path);

}  // namespace rvo
