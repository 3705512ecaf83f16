#include "engine/core/text/module_path.h"

namespace rvo {

ModulePathParts splitModulePath(std::string_view path) {
    ModulePathParts parts;
    const std::size_t slash = path.find_last_of("\\/:");
    const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    parts.directory = std::string(path.substr(0, nameStart));
    std::string_view name = path.substr(nameStart);
    const std::size_t dot = name.rfind('.');
    parts.baseName = std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
    return parts;
}

}  // namespace rvo
