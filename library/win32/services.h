#pragma once
// The library's three small services, called by their exports inside the
// same catch-all as the migrations. Each answers with the export's result.
namespace rvo {

class LibraryContext;

int getFolders(LibraryContext& context, const char* server, int port, const char* user, const char* password,
               char* folderList, char* errorText);
int testConnection(LibraryContext& context, const char* hostName, int port);
int getLine(LibraryContext& context, const char* path, int lineNumber, char* lineText);

}  // namespace rvo
