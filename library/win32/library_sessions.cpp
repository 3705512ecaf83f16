#include "library/win32/library_sessions.h"

#include "engine/win32/db/data_model.h"
#include "engine/win32/store/message_store.h"
#include "engine/win32/ui/dialog_window.h"
#include "library/core/call_arguments.h"
#include "library/win32/library_context.h"
#include "resources/resource_ids.h"

namespace rvo {

std::unique_ptr<ImapActiveObj> makeLibraryImapSession(LibraryContext& context, SessionObserver& observer) {
    MigrationSettings settings = context.settings();
    settings.security = securityForPort(settings.imapPort, true);
    const ImapSessionTexts texts = ImapSessionTexts::load(context.module());
    MessageStore store(context.storeLayout(), settings.systemFolderNames, texts.localFolderNames);
    return std::make_unique<ImapActiveObj>(kLibraryImapSessionKind, settings, context.account(), std::move(store),
                                           texts, context.log(), &observer, context.timings());
}

std::unique_ptr<Pop3ActiveObj> makeLibraryPop3Session(LibraryContext& context, SessionObserver& observer) {
    MigrationSettings settings = context.settings();
    settings.security = securityForPort(settings.pop3Port, false);
    MessageStore store(context.storeLayout(), SystemFolderNames{}, SystemFolderNames{});
    // mail2xrv.mdb beside the host program, or KELVAR_ODBC.
    MigrationDatabaseOpener opener =
        dataModelOpener(context.databaseLog(), migrationConnectionText(migrationDatabasePath()));
    return std::make_unique<Pop3ActiveObj>(kLibraryPop3SessionKind, settings, context.account(), std::move(store),
                                           loadResourceString(IDS_MESSAGE_TEXT, context.module()), std::move(opener),
                                           context.log(), &observer, context.timings());
}

}  // namespace rvo
