#include "library/win32/services.h"

#include "library/win32/library_context.h"

namespace rvo {

// Not available yet: each answers its failure value, with empty out texts.

int getFolders(LibraryContext& context, const char*, int, const char*, const char*, char* folderList,
               char* errorText) {
    if (folderList) *folderList = '\0';
    if (errorText) *errorText = '\0';
    context.writeLogLine("GetFolder Function", "GetFolders is not available in this version");
    return 0;
}

int testConnection(LibraryContext& context, const char*, int) {
    context.writeLogLine("TestConnection", "TestConnection is not available in this version");
    return 0;
}

int getLine(LibraryContext& context, const char*, int, char* lineText) {
    if (lineText) *lineText = '\0';
    context.writeLogLine("GetLine Function", "GetLine is not available in this version");
    return 1;
}

}  // namespace rvo
