#pragma once
// The path of a loaded module (the program itself by default).
#include <windows.h>

#include <string>

namespace rvo {

// Empty when the path cannot be read.
std::string modulePath(HMODULE module = nullptr);

// The module's directory up to and including its last backslash.
std::string moduleDirectory(HMODULE module = nullptr);

}  // namespace rvo
