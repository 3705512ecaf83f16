#include "engine/win32/pop3/pop3_active_obj.h"

#include <utility>

#include "engine/core/imap/imap_syntax.h"
#include "engine/core/pop3/pop3_credentials.h"
#include "engine/core/store/file_time.h"
#include "engine/core/text/exception.h"
#include "engine/core/text/format.h"
#include "engine/win32/ui/dialog_window.h"
#include "resources/resource_ids.h"

namespace rvo {

namespace {

constexpr std::string_view kInboxFolder = "inbox";

std::string loadCaptionFormat(HINSTANCE resources, LogSink& log) {
    try {
        return loadResourceString(IDS_MESSAGE_TEXT, resources ? resources : GetModuleHandleA(nullptr));
    } catch (const Exception& e) {
        log.report(kPop3SessionKind.objectName, e.text());
    }
    return {};
}

}  // namespace

Pop3ActiveObj::Pop3ActiveObj(const MigrationSettings& settings, const AccountValues& account,
                             MigrationDatabaseOpener openDatabase, LogSink& log, SessionObserver* observer,
                             const SessionTimings& timings, HINSTANCE resources)
    : Pop3ActiveObj(kPop3SessionKind, settings, account, MessageStore::forAccount(settings, account, SystemFolderNames{}),
                    loadCaptionFormat(resources, log), std::move(openDatabase), log, observer, timings) {}

Pop3ActiveObj::Pop3ActiveObj(const SessionKind& kind, const MigrationSettings& settings, const AccountValues& account,
                             MessageStore store, std::string captionFormat, MigrationDatabaseOpener openDatabase,
                             LogSink& log, SessionObserver* observer, const SessionTimings& timings)
    : SocketSession(kind, log, observer, timings),
      serverAddress_(settings.serverAddress),
      port_(settings.pop3Port),
      account_(account),
      database_(std::move(openDatabase)),
      store_(std::move(store)),
      inbox_(store_.folderDirectory(kInboxFolder)),
      captionFormat_(std::move(captionFormat)),
      dialogue_(*this, Pop3Account{settings.serverAddress, account.user, account.password, account.sourceUser, {}}, settings.pipelineDepth) {
    protectCredentials(pop3CredentialMask(account.password));
    setSecurity(settings.security, UpgradeProtocol::Pop3);
    checkOnly_ = settings.checkOnly;
    dialogue_.setCheckOnly(checkOnly_);
}

void Pop3ActiveObj::receiveHandled() {
    if (heldCommands_.empty()) return;
    const std::string bytes = std::exchange(heldCommands_, {});
    if (!sendAll(bytes)) dialogue_.commandsLost();
}

void Pop3ActiveObj::start() {
    if (port_ < 1 || port_ > 65535) {
        stopRunning();
        noteConnectionEnd(SessionEnd::SettingsMistake, formatBounded("The POP3 port %d is not a TCP port", port_));
        reportFormatted("The POP3 port %d is not a TCP port", port_);
        return;
    }
    if (signsInWithToken()) {
        std::optional<SaslSignIn> signIn =
            prepareTokenSignIn(account_.loginName(), serverAddress_, port_, pop3CredentialMask(account_.password));
        if (!signIn) return;
        dialogue_.setSignIn(std::move(*signIn));
    }
    connectToServer(serverAddress_, static_cast<unsigned short>(port_));
}

void Pop3ActiveObj::finish() {
    try {
        // Whatever ended the session, a message without its final "." is not stored.
        dialogue_.sessionEnded();
        database_.release();
        SocketSession::report(dialogue_.summary());
        Sleep(timings().finishPauseMs);
    } catch (...) {
        SocketSession::report(kind().unknownErrorText);
    }
    settleEnding(dialogue_.result(), dialogue_.ending(), dialogue_.tally(), dialogue_.quitSent());
    if (checkOnly_) {
        // The counts are what the run reports for a check.
        writableEnding().check = dialogue_.checkCounts();
        if (dialogue_.result() == 0) writableEnding().end = SessionEnd::Completed;
    }
    endSession(dialogue_.result());
}

void Pop3ActiveObj::showMessageProgress(int number, int count) {
    if (captionFormat_.empty()) return;
    showCaption(formatMessageCaption(captionFormat_, kInboxFolder, number, count));
}

bool Pop3ActiveObj::prepareInbox(std::string& error) {
    return MessageStore::ensureDirectoryTree(inbox_, LevelSplit::kBackslashOnly, error);
}

bool Pop3ActiveObj::beginMessage(int number, std::string& error) {
    message_ = store_.openMessage(inbox_, number, dateHex(systemTimeNow()));
    if (message_.isOpen()) return true;
    error = message_.error();
    return false;
}

bool Pop3ActiveObj::writeMessageLine(std::string_view line, std::string& error) {
    if (message_.writeLine(line)) return true;
    error = message_.error();
    return false;
}

bool Pop3ActiveObj::commitMessage(std::string& error) {
    if (message_.commit()) {
        storedPath_ = message_.path();
        return true;
    }
    error = message_.error();
    return false;
}

bool Pop3ActiveObj::removeStoredMessage(std::string& error) {
    if (!MessageFile::removeCommitted(storedPath_, error)) return false;
    storedPath_.clear();
    return true;
}

}  // namespace rvo
