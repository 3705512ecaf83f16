#include "engine/win32/pop3/pop3_active_obj.h"

#include <utility>

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
    : SocketSession(kPop3SessionKind, log, observer, timings),
      serverAddress_(settings.serverAddress),
      port_(static_cast<unsigned short>(settings.pop3Port)),
      account_(account),
      database_(std::move(openDatabase)),
      store_(MessageStore::forAccount(settings, account, SystemFolderNames{})),
      inbox_(store_.folderDirectory(kInboxFolder)),
      captionFormat_(loadCaptionFormat(resources, log)),
      dialogue_(*this, Pop3Account{settings.serverAddress, account.user, account.password}) {}

void Pop3ActiveObj::start() {
    if (account_.status == 1) {
        stopRunning();
        const std::string text = formatBounded("Skipping %s. User already migrated.", account_.user.c_str());
        showCaption(text);
        SocketSession::report(text);
        Sleep(timings().skipPauseMs);
        return;
    }
    connectToServer(serverAddress_, port_);
}

void Pop3ActiveObj::finish() {
    try {
        // Whatever ended the session, a message without its final "." is not stored.
        dialogue_.sessionEnded();
        database_.release();
        Sleep(timings().finishPauseMs);
    } catch (...) {
        SocketSession::report(kPop3SessionKind.unknownErrorText);
    }
    endSession(dialogue_.result());
}

void Pop3ActiveObj::showMessageProgress(int number, int count) {
    if (captionFormat_.empty()) return;
    showCaption(formatBounded(captionFormat_.c_str(), kInboxFolder.data(), number, count));
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
    if (message_.commit()) return true;
    error = message_.error();
    return false;
}

}  // namespace rvo
