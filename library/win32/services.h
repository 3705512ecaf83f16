#pragma once
// The library's three small services, called by their exports inside the
// same catch-all as the migrations. Each answers with the export's result.
//  getFolders: the folder listing on a worker thread, this thread waiting;
//  folderList receives at most kFolderListBytes, errorText at most
//  kErrorTextBytes, each including its NUL.
//  testConnection, getLine: on the caller's thread.
#include <cstddef>

namespace rvo {

class LibraryContext;

inline constexpr std::size_t kErrorTextBytes = 256;
// KELVAR_FOLDER_LIST_BYTES of kelvar.h, the size the wizard's buffer must have.
inline constexpr std::size_t kFolderListBytes = 65536;
inline constexpr int kLineFound = 0;
inline constexpr int kLineNoFile = 1;
inline constexpr int kLineTooShort = 2;

int getFolders(LibraryContext& context, const char* server, int port, const char* user, const char* password,
               char* folderList, char* errorText);
int testConnection(LibraryContext& context, const char* hostName, int port);
int getLine(LibraryContext& context, const char* path, int lineNumber, char* lineText);

}  // namespace rvo
