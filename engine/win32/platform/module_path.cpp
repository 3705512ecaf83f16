#include "engine/win32/platform/module_path.h"

#include "engine/core/text/module_path.h"

namespace rvo {

std::string modulePath(HMODULE module) {
    char buffer[4097] = {};
    const DWORD n = GetModuleFileNameA(module, buffer, 4096);
    if (n == 0 || n >= 4096) return {};
    return std::string(buffer, n);
}

std::string moduleDirectory(HMODULE module) { return splitModulePath(modulePath(module)).directory; }

}  // namespace rvo
