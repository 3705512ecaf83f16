#include "engine/win32/imap/imap_active_obj.h"

#include <utility>

#include "engine/core/text/format.h"
#include "engine/win32/ui/dialog_window.h"
#include "resources/resource_ids.h"

namespace rvo {

namespace {

int timeZoneBiasMinutes() {
    TIME_ZONE_INFORMATION zone;
    return GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID ? 0 : static_cast<int>(zone.Bias);
}

ImapDialogueValues dialogueValues(const SessionKind& kind, const MigrationSettings& settings,
                                  const AccountValues& account, const ImapSessionTexts& texts,
                                  const SessionTimings& timings) {
    ImapDialogueValues values;
    values.keepSlashInFolderNames = kind.keepSlashInFolderNames;
    values.settings = settings;
    values.account = account;
    values.captionFormat = texts.captionFormat;
    values.timeZoneBiasMinutes = timeZoneBiasMinutes();
    values.logoutPauseMs = timings.logoutPauseMs;
    return values;
}

}  // namespace

ImapSessionTexts ImapSessionTexts::load(HINSTANCE resources) {
    if (!resources) resources = GetModuleHandleA(nullptr);
    ImapSessionTexts texts;
    const unsigned ids[] = {IDS_INBOX, IDS_DRAFTS, IDS_DELETED_ITEMS, IDS_SENT_ITEMS};
    for (std::size_t i = 0; i < texts.localFolderNames.size(); ++i)
        texts.localFolderNames[i] = loadResourceString(ids[i], resources);
    texts.captionFormat = loadResourceString(IDS_MESSAGE_TEXT, resources);
    return texts;
}

ImapActiveObj::ImapActiveObj(const MigrationSettings& settings, const AccountValues& account, LogSink& log,
                             SessionObserver* observer, const SessionTimings& timings, HINSTANCE resources)
    : ImapActiveObj(kImapSessionKind, settings, account,
                    MessageStore::forAccount(settings, account, ImapSessionTexts::load(resources).localFolderNames),
                    ImapSessionTexts::load(resources), log, observer, timings) {}

ImapActiveObj::ImapActiveObj(const SessionKind& kind, const MigrationSettings& settings, const AccountValues& account,
                             MessageStore store, const ImapSessionTexts& texts, LogSink& log,
                             SessionObserver* observer, const SessionTimings& timings)
    : SocketSession(kind, log, observer, timings),
      serverAddress_(settings.serverAddress),
      port_(settings.imapPort),
      account_(account),
      store_(std::move(store)),
      checkOnly_(settings.checkOnly),
      dialogue_(dialogueValues(kind, settings, account, texts, timings), host_, store_) {
    protectCredentials(ImapOpening::loginMask(account.loginName(), account.password));
    setSecurity(settings.security, UpgradeProtocol::Imap);
}

void ImapActiveObj::start() {
    if (port_ < 1 || port_ > 65535) {
        stopRunning();
        noteConnectionEnd(SessionEnd::SettingsMistake, formatBounded("The IMAP port %d is not a TCP port", port_));
        reportFormatted("The IMAP port %d is not a TCP port", port_);
        return;
    }
    if (signsInWithToken()) {
        std::optional<SaslSignIn> signIn =
            prepareTokenSignIn(account_.loginName(), serverAddress_, port_, ImapOpening::loginMask(account_.loginName(), account_.password));
        if (!signIn) return;
        dialogue_.setSignIn(std::move(*signIn));
    }
    connectToServer(serverAddress_, static_cast<unsigned short>(port_));
}

void ImapActiveObj::receiveHandled() {
    if (heldCommands_.empty()) return;
    const std::string bytes = std::exchange(heldCommands_, {});
    sendAll(bytes);
}

void ImapActiveObj::finish() {
    // A message cut off by a cancel, a close or a time-out is not stored.
    dialogue_.abandon();
    report(dialogue_.summary());
    Sleep(timings().finishPauseMs);
    int result = dialogue_.result();
    if (signsInWithToken() && dialogue_.tokenExpired()) {
        tokenExpired(account_.loginName());
        result = kSessionTokenExpired;
    }
    settleEnding(dialogue_.result(), dialogue_.ending(), dialogue_.tally(), dialogue_.logoutAcknowledged());
    // After the ending is settled, which starts it afresh.
    if (checkOnly_) fillCheckEnding(result);
    endSession(result);
}

void ImapActiveObj::fillCheckEnding(int result) {
    // The counts are what the run reports for a check; the store was only read.
    writableEnding().check = dialogue_.checkCounts();
    if (result == 0) writableEnding().end = SessionEnd::Completed;
}

}  // namespace rvo
