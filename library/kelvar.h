/* kelvar.dll: migrates one mailbox per call from an IMAP4 or POP3 server into
 * the message store of a local mail server.
 *
 * Calling contract:
 *  - Load the library once (LoadLibraryA("kelvar.dll")); it needs no
 *    initialisation call. Loading opens kelvar.log beside the host program's
 *    executable and starts Windows Sockets; unloading writes the log's
 *    closing line.
 *  - Call the exports one at a time, all from one thread. IMap2XRV and
 *    Pop32XRV show a progress dialog on the calling thread and pump that
 *    thread's messages until the migration ends: call them from a thread that
 *    may own windows and has no modal state of its own. They return only
 *    after the migration's worker thread has ended.
 *  - Strings are zero-terminated, in the ANSI code page; ints are 32 bits.
 *    Every export is WINAPI (__stdcall): the callee removes its arguments.
 *  - Settings persist between calls: each migration call sets destination,
 *    server, user, password and port afresh (IMap2XRV also its flags and
 *    excluded folders); mapping names the text does not give keep the values
 *    of the previous call.
 */
#ifndef KELVAR_H
#define KELVAR_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef KELVAR_API
#define KELVAR_API __declspec(dllimport)
#endif
#ifndef KELVAR_CALL
#define KELVAR_CALL __stdcall
#endif

/* Results of IMap2XRV and Pop32XRV. */
#define KELVAR_MIGRATED 1  /* every message stored or already stored, the dialogue ended normally */
#define KELVAR_FAILED 0    /* connection, login, folder, store or database failure; or an exception (box shown) */
#define KELVAR_CANCELED 2  /* the user pressed Cancel */
#define KELVAR_NO_DIALOG (-1) /* the progress dialog could not be created, or its message loop failed */

/* Migrates the IMAP4 mailbox `user` on `server`:`port` into destinationPath
 * (a backslash is added when missing; missing folders are created), one
 * directory per folder, each message once.
 *  excludedFolders: "Junk;Spam": folders not migrated (exact, case-sensitive
 *                   names; with excludeContained also every folder whose
 *                   name contains an entry). An empty entry matches nothing.
 *  folderMapping:   "INBOX;Drafts;Trash;Sent": the server's names of inbox,
 *                   drafts, deleted items and sent items, stored locally as
 *                   "Inbox", "Drafts", "Deleted Items", "Sent Items".
 *  createEmpty:     nonzero: folders without messages are created too.
 *  migrateDeleted:  nonzero: messages flagged deleted are migrated too.
 *  markDeleted:     nonzero: each copied message is flagged deleted on the server.
 * Port 993: TLS from the first byte (IMAPS); any other port: no encryption.
 * Over TLS the server's certificate is verified before the password is sent:
 * a chain to a root the system trusts, the server's name (an IP address
 * against the certificate's IP entries), its validity dates. A certificate
 * that fails gives KELVAR_FAILED with nothing sent; there is no way to skip
 * the check.
 * Returns KELVAR_MIGRATED, KELVAR_FAILED, KELVAR_CANCELED or KELVAR_NO_DIALOG. */
KELVAR_API int KELVAR_CALL IMap2XRV(const char* destinationPath, const char* server, const char* user,
                                    const char* password, int port, const char* excludedFolders,
                                    const char* folderMapping, int createEmpty, int migrateDeleted, int markDeleted,
                                    int excludeContained);

/* Migrates the POP3 mailbox into destinationPath\inbox. The unique-ids of the
 * copied messages are kept in mail2xrv.mdb beside the host program (ODBC; the
 * environment variable KELVAR_ODBC replaces the connection text, "%s" in it
 * standing for the file's path), so a later call copies only new messages.
 * Without a usable database nothing is retrieved and the result is
 * KELVAR_FAILED. Port 995: TLS from the first byte (POP3S), the certificate
 * verified as for IMap2XRV. Results as IMap2XRV. */
KELVAR_API int KELVAR_CALL Pop32XRV(const char* destinationPath, const char* server, const char* user,
                                    const char* password, int port);

/* The size of GetFolders' folderList buffer: the most bytes it ever writes
 * there, the list's NUL included. */
#define KELVAR_FOLDER_LIST_BYTES 65536

/* Logs in to the IMAP4 server, lists every folder of the mailbox (those that
 * cannot be selected too, each under the name the server gives it) and logs
 * out. Returns the folder count; 1 also when the mailbox lists no folder;
 * 0 after a failure.
 *  folderList: a buffer of KELVAR_FOLDER_LIST_BYTES; receives the names
 *              joined by ";" (no trailing ";"), at most 65535 characters
 *              and the NUL; empty after a failure. A list that would be
 *              longer is a failure (0, errorText "(IMAP2XRV)The folder list
 *              is longer than 65535 characters"); nothing is ever written
 *              past KELVAR_FOLDER_LIST_BYTES. A name holding ";" is left
 *              out (kelvar.log names it) and not counted.
 *  errorText:  a buffer of at least 256 bytes; receives "(IMAP2XRV)" and the
 *              reason of the failure (the server's refusal, "Bad login
 *              attempt", or the connection's failure), cut to 255
 *              characters; empty when none. A password the server echoes
 *              in its refusal stands there as "**********", as in the log.
 * The user name and password are sent as IMAP strings; one holding a line
 * break or NUL byte is never sent. Port 993: TLS from the first byte, the
 * certificate verified as for IMap2XRV (a refused one is in errorText). */
KELVAR_API int KELVAR_CALL GetFolders(const char* server, int port, const char* user, const char* password,
                                      char* folderList, char* errorText);

/* 1 when a TCP connection to hostName:port (1 to 65535) can be opened, else
 * 0. Nothing is sent; the connect blocks as long as the system lets it. */
KELVAR_API int KELVAR_CALL TestConnection(const char* hostName, int port);

/* Line lineNumber (from 1) of the text file at path into lineText (a buffer
 * of at least 1024 bytes), without its line feed or CR LF, at most 1023
 * characters; a longer line is cut and the lines after it keep their
 * numbers and text. The text after a final line feed is an empty last
 * line. Returns 0 found, 1 no such file, 2 no such line (lineText empty). */
KELVAR_API int KELVAR_CALL GetLine(const char* path, int lineNumber, char* lineText);

#ifdef __cplusplus
}
#endif

#endif /* KELVAR_H */
