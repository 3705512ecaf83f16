#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "batch/core/account_naming.h"
#include "batch/core/run_report.h"
#include "batch/core/slot_plan.h"

namespace rvo {
namespace {

// Splits a CSV text into rows of fields as RFC 4180 reads it, so the tests
// check what a reader gets back, not how the writer spelled it.
std::vector<std::vector<std::string>> readCsv(std::string_view text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                rows.back().back().push_back('"');
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                rows.back().back().push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.emplace_back(1);
            ++i;
        } else {
            rows.back().back().push_back(c);
        }
    }
    EXPECT_FALSE(quoted) << "an unclosed quote";
    if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();  // after the last CRLF
    return rows;
}

TEST(RunReport, EveryOutcomeHasItsRowInListOrder) {
    RunReport report({{1, "alice", "example.org", 1},
                      {2, "bob", "example.org", 2},
                      {3, "carol", "example.org", 1},
                      {4, "dave", "example.org", 2},
                      {5, "..", "example.org", 1},
                      {6, "erin", "example.org", 1},
                      {7, "frank", "example.org", 3}});
    // Recorded out of order, as accounts finish when several run.
    report.record(2, {.outcome = AccountOutcome::AlreadyMigrated, .reason = "Status is 1"});
    report.record(0, {.outcome = AccountOutcome::Migrated, .messagesStored = 12, .recognisedAsStored = 3,
                      .bytesStored = 45678, .time = std::chrono::seconds(9), .retries = 2,
                      .reason = "the connection dropped"});  // a success keeps no reason
    report.record(3, {.outcome = AccountOutcome::LeftForNextRun, .messagesStored = 4, .failed = 1, .retries = 3,
                      .reason = "the server is throttling the account"});
    report.record(4, {.outcome = AccountOutcome::Skipped, .reason = "U \"..\" cannot be a folder of the store"});
    report.record(1, {.outcome = AccountOutcome::Checked, .messagesStored = 0, .recognisedAsStored = 7, .reason = {},
                      .check = CheckCounts{.folders = 3, .messages = 20, .bytes = 40960, .alreadyStored = 7}});
    report.record(99, {.outcome = AccountOutcome::Migrated, .reason = {}});  // outside the list: ignored
    // 6 and 7 never reached: the run was cancelled.

    const auto rows = readCsv(report.csv());
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Section", "User", "Domain", "Protocol", "Outcome",
                                                 "Messages stored", "Recognised as stored", "Failed",
                                                 "Bytes stored", "Seconds", "Retries", "Reason", "Folders",
                                                 "Messages to copy", "Bytes to copy"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"1", "alice", "example.org", "IMAP", "migrated", "12", "3", "0",
                                                 "45678", "9", "2", "", "", "", ""}));
    // A check's counts in their own columns; a migration leaves them empty.
    EXPECT_EQ(rows[2], (std::vector<std::string>{"2", "bob", "example.org", "POP3", "checked", "0", "7", "0", "0",
                                                 "0", "0", "", "3", "20", "40960"}));
    EXPECT_EQ(rows[3][4], "already migrated");
    EXPECT_EQ(rows[3][11], "Status is 1");
    EXPECT_EQ(rows[4][4], "left for the next run");
    EXPECT_EQ(rows[4][7], "1");
    EXPECT_EQ(rows[4][10], "3");
    EXPECT_EQ(rows[4][11], "the server is throttling the account");
    EXPECT_EQ(rows[5][4], "skipped");
    EXPECT_EQ(rows[5][11], "U \"..\" cannot be a folder of the store");
    for (const int row : {6, 7}) {
        EXPECT_EQ(rows[row][4], "not attempted") << row;
        EXPECT_EQ(rows[row][11], kNotReachedReason) << row;
    }
    EXPECT_EQ(rows[7][3], "3");  // a protocol the program does not know, as written
    for (const auto& row : rows) EXPECT_EQ(row.size(), reportColumns().size());
}

TEST(RunReport, NamesWithCommasQuotesAndLineBreaksReadBackWhole) {
    const std::string awkward[] = {"smith, john", "o\"brien", "two\r\nlines", "cr\ronly", "lf\nonly", "\"", ",",
                                   std::string("nul\0byte", 8), "plain"};
    std::vector<ReportedAccount> accounts;
    for (std::size_t i = 0; i < std::size(awkward); ++i) accounts.push_back({int(i + 1), awkward[i], awkward[i], 1});
    RunReport report(accounts);
    report.record(0, {.outcome = AccountOutcome::LeftForNextRun, .reason = "said \"no\",\r\nthen closed"});
    const std::string csv = report.csv();
    const auto rows = readCsv(csv);
    ASSERT_EQ(rows.size(), std::size(awkward) + 1);
    for (std::size_t i = 0; i < std::size(awkward); ++i) {
        EXPECT_EQ(rows[i + 1][1], awkward[i]) << i;
        EXPECT_EQ(rows[i + 1][2], awkward[i]) << i;
    }
    EXPECT_EQ(rows[1][11], "said \"no\",\r\nthen closed");
    EXPECT_EQ(csvField("smith, john"), "\"smith, john\"");
    EXPECT_EQ(csvField("o\"brien"), "\"o\"\"brien\"");
    EXPECT_EQ(csvField("plain"), "plain");
    EXPECT_EQ(csvField(""), "");
    // Every record ends in CRLF, and no bare LF ends one.
    EXPECT_EQ(csv.substr(csv.size() - 2), "\r\n");
}

TEST(RunReport, SessionEndingsGiveOutcomes) {
    EXPECT_EQ(outcomeOf(SessionEnd::Completed, false), AccountOutcome::Migrated);
    EXPECT_EQ(outcomeOf(SessionEnd::Completed, true), AccountOutcome::Checked);
    EXPECT_EQ(outcomeOf(SessionEnd::AlreadyMigrated, false), AccountOutcome::AlreadyMigrated);
    EXPECT_EQ(outcomeOf(SessionEnd::SettingsMistake, false), AccountOutcome::Skipped);
    // A running account stopped by Cancel may hold part of its messages.
    for (const SessionEnd end : {SessionEnd::Cancelled, SessionEnd::LoginRefused, SessionEnd::Throttled,
                                 SessionEnd::StoreWriteFailed, SessionEnd::Failed}) {
        EXPECT_EQ(outcomeOf(end, false), AccountOutcome::LeftForNextRun) << sessionEndText(end);
        EXPECT_EQ(outcomeOf(end, true), AccountOutcome::LeftForNextRun) << sessionEndText(end);
    }
}

TEST(RunReport, LongReasonsAreCut) {
    RunReport report({{1, "a", "d", 1}});
    report.record(0, {.outcome = AccountOutcome::LeftForNextRun, .reason = std::string(10000, 'x')});
    EXPECT_EQ(report.result(0).reason.size(), kMaxReportReason);
}

TEST(RunReport, SummaryCountsOutcomesMessagesBytesAndTime) {
    RunReport report({{1, "a", "d", 1}, {2, "b", "d", 2}, {3, "c", "d", 1}, {4, "e", "d", 1}});
    report.record(0, {.outcome = AccountOutcome::Migrated, .messagesStored = 10, .recognisedAsStored = 2,
                      .bytesStored = 5000000000ULL, .reason = {}});
    report.record(1, {.outcome = AccountOutcome::Migrated, .messagesStored = 5, .bytesStored = 100, .reason = {}});
    report.record(2, {.outcome = AccountOutcome::LeftForNextRun, .failed = 1, .reason = "x"});
    EXPECT_EQ(report.summaryLines(std::chrono::seconds(3725)),
              (std::vector<std::string>{"Accounts: 4, 2 migrated, 1 left for the next run, 1 not attempted",
                                        "Messages: 15 stored, 2 recognised as stored, 1 failed",
                                        "Bytes stored: 5000000100", "Time: 1:02:05"}));
    EXPECT_EQ(RunReport({}).summaryLines(std::chrono::seconds(0))[0], "Accounts: 0");
}

TEST(RunReport, FileNameBesideTheDailyLog) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 10;
    t.tm_hour = 14;
    t.tm_min = 2;
    t.tm_sec = 3;
    EXPECT_EQ(reportFileName(t), "logs\\20261210_140203_report.csv");
}

TEST(AccountNaming, TagNamesSectionAndUserOnlyWithSeveralAtOnce) {
    EXPECT_EQ(accountTag(1, 4, "alice"), "");
    EXPECT_EQ(accountTag(0, 4, "alice"), "");
    EXPECT_EQ(accountTag(2, 4, "alice"), "[4 alice]");
    EXPECT_EQ(accountTag(16, 120, "bob smith"), "[120 bob smith]");
    // Control characters and a closing bracket cannot break the line or the tag.
    EXPECT_EQ(accountTag(4, 1, "a\r\nb]\x7f\tc"), "[1 a??b???c]");
    const std::string longName(1000, 'u');
    const std::string tag = accountTag(4, 1, longName);
    EXPECT_EQ(tag, "[1 " + std::string(kTaggedUserMax, 'u') + "...]");
}

TEST(AccountNaming, TagGoesAfterTheObjectName) {
    const std::string tag = accountTag(3, 4, "alice");
    EXPECT_EQ(taggedReportText("IMap2XRV Object", tag, "Connected to the host server"),
              "IMap2XRV Object [4 alice] Connected to the host server");
    EXPECT_EQ(applyAccountTag("IMap2XRV Object Connected to the host server", "IMap2XRV Object", tag),
              "IMap2XRV Object [4 alice] Connected to the host server");
    EXPECT_EQ(applyAccountTag("Pop32XRV Object", "Pop32XRV Object", tag), "Pop32XRV Object [4 alice] ");
    // A line not of that object gets the tag in front.
    EXPECT_EQ(applyAccountTag("DataModel Object Failed", "IMap2XRV Object", tag), "[4 alice] DataModel Object Failed");
    EXPECT_EQ(applyAccountTag("IMap2XRV Objects", "IMap2XRV Object", tag), "[4 alice] IMap2XRV Objects");
    // One at a time: every line stays exactly as it was.
    EXPECT_EQ(taggedReportText("IMap2XRV Object", "", "Connected to the host server"),
              "IMap2XRV Object Connected to the host server");
    EXPECT_EQ(applyAccountTag("IMap2XRV Object Connected", "IMap2XRV Object", ""), "IMap2XRV Object Connected");
}

// The sink a session of one account writes through: the line a reader of
// the shared log gets is the one taggedReportText makes.
TEST(AccountNaming, TaggedSinkPutsTheTagAfterTheObjectName) {
    struct Lines : LogSink {
        void report(std::string_view objectName, std::string_view text) override {
            lines.push_back(std::string(objectName) + " " + std::string(text));
        }
        std::vector<std::string> lines;
    } inner;
    TaggedLogSink tagged(inner, accountTag(4, 7, "bob"));
    tagged.report("Pop32XRV Object", "Connected to the host server");
    TaggedLogSink untagged(inner, accountTag(1, 7, "bob"));
    untagged.report("Pop32XRV Object", "Connected to the host server");
    ASSERT_EQ(inner.lines.size(), 2u);
    EXPECT_EQ(inner.lines[0], taggedReportText("Pop32XRV Object", "[7 bob]", "Connected to the host server"));
    EXPECT_EQ(inner.lines[1], "Pop32XRV Object Connected to the host server");
}

// Seven accounts, three slots; 2 and 5 are one user directory (letter case
// differs), as are 3 and 7.
std::vector<PlannedAccount> sevenAccounts() {
    return {{"alice", "example.org"}, {"bob", "example.org"},   {"carol", "example.org"}, {"dave", "example.org"},
            {"BOB", "Example.ORG"},   {"erin", "example.org"},  {"carol", "example.org"}};
}

TEST(SlotPlan, ThreeSlotsSevenAccountsTwinsAndAChosenFinishingOrder) {
    SlotPlan plan(sevenAccounts(), 3);
    std::vector<std::size_t> started;
    auto fill = [&] {
        while (auto next = plan.startNext()) started.push_back(*next);
    };
    auto runningSet = [&] {
        std::vector<std::size_t> r;
        for (std::size_t i = 0; i < 7; ++i)
            if (plan.state(i) == SlotState::Running) r.push_back(i);
        return r;
    };
    auto noTwinsTogether = [&] {
        const auto r = runningSet();
        const auto accounts = sevenAccounts();
        for (std::size_t a = 0; a < r.size(); ++a)
            for (std::size_t b = a + 1; b < r.size(); ++b)
                EXPECT_FALSE(sameUserDirectory(accounts[r[a]], accounts[r[b]])) << r[a] << " " << r[b];
        EXPECT_LE(r.size(), 3u);
    };

    fill();
    EXPECT_EQ(started, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(runTitleText(plan.counts(), false), "Migrating 3 of 7 accounts: 0 done, 3 running, 4 left");

    plan.finished(0);
    fill();  // 3 (dave) starts
    EXPECT_EQ(started.back(), 3u);
    noTwinsTogether();

    plan.finished(3);
    fill();  // BOB's twin bob still runs: passed over, erin starts
    EXPECT_EQ(started.back(), 5u);
    EXPECT_EQ(plan.state(4), SlotState::Waiting);
    noTwinsTogether();

    plan.finished(1);
    fill();  // bob ended: BOB goes first, as the earliest waiting
    EXPECT_EQ(started.back(), 4u);
    noTwinsTogether();

    plan.finished(5);
    fill();  // carol (6) must wait for carol (2)
    EXPECT_EQ(started.size(), 6u);
    EXPECT_EQ(runTitleText(plan.counts(), true), "Checking 6 of 7 accounts: 4 done, 2 running, 1 left");

    plan.finished(2);
    fill();
    EXPECT_EQ(started.back(), 6u);
    plan.finished(4);
    plan.finished(6);
    plan.finished(6);  // a second end of the same account changes nothing
    fill();
    EXPECT_TRUE(plan.over());

    EXPECT_EQ(started, (std::vector<std::size_t>{0, 1, 2, 3, 5, 4, 6}));
    EXPECT_EQ(std::set<std::size_t>(started.begin(), started.end()).size(), 7u);
    const RunCounts done = plan.counts();
    EXPECT_EQ(done.done, 7u);
    EXPECT_EQ(done.left, 0u);
}

TEST(SlotPlan, EveryFinishingOrderStartsEachAccountOnceAndNeverTwinsTogether) {
    // Whichever running account ends first, the plan keeps its promises.
    for (unsigned seed = 0; seed < 200; ++seed) {
        const auto accounts = sevenAccounts();
        SlotPlan plan(accounts, 1 + seed % 4);
        std::vector<int> starts(7, 0);
        std::size_t lastStarted = 0;
        bool firstStart = true;
        unsigned pick = seed;
        while (!plan.over()) {
            while (auto next = plan.startNext()) {
                ++starts[*next];
                // Out of list order only when an earlier one waits for its twin.
                if (!firstStart && *next < lastStarted) {
                    bool twinOfEarlier = false;
                    for (std::size_t i = 0; i < 7; ++i)
                        twinOfEarlier |= i != *next && sameUserDirectory(accounts[i], accounts[*next]);
                    EXPECT_TRUE(twinOfEarlier) << seed;
                }
                lastStarted = *next;
                firstStart = false;
            }
            std::vector<std::size_t> running;
            for (std::size_t i = 0; i < 7; ++i)
                if (plan.state(i) == SlotState::Running) running.push_back(i);
            ASSERT_FALSE(running.empty()) << seed;  // nothing stalls with accounts waiting
            for (std::size_t a = 0; a < running.size(); ++a)
                for (std::size_t b = a + 1; b < running.size(); ++b)
                    EXPECT_FALSE(sameUserDirectory(accounts[running[a]], accounts[running[b]])) << seed;
            pick = pick * 1103515245u + 12345u;
            plan.finished(running[(pick >> 16) % running.size()]);
        }
        EXPECT_EQ(starts, std::vector<int>(7, 1)) << seed;
    }
}

TEST(SlotPlan, CancelStartsNothingMoreAndLeavesTheRestNotStarted) {
    SlotPlan plan(sevenAccounts(), 3);
    while (plan.startNext()) {
    }
    plan.cancel();
    EXPECT_FALSE(plan.startNext());
    EXPECT_FALSE(plan.over());  // three still running
    plan.finished(0);
    EXPECT_FALSE(plan.startNext());
    plan.finished(1);
    plan.finished(2);
    EXPECT_TRUE(plan.over());
    for (std::size_t i = 3; i < 7; ++i) EXPECT_EQ(plan.state(i), SlotState::NotStarted);
    EXPECT_EQ(plan.counts().left, 4u);
}

TEST(SlotPlan, UserDirectoriesCompareAsFolderNames) {
    EXPECT_TRUE(sameUserDirectory({"Alice", "Example.org"}, {"aLICE", "example.ORG"}));
    EXPECT_FALSE(sameUserDirectory({"alice", "example.org"}, {"alice", "example.net"}));
    EXPECT_FALSE(sameUserDirectory({"alice", "example.org"}, {"alice2", "example.org"}));
    EXPECT_FALSE(sameUserDirectory({"alice", "a.org"}, {"alicea", ".org"}));  // the split matters
    // "J\xfcrgen" and "J\xdcRGEN" are one folder on a file system that folds
    // accented letters: they are kept apart in time.
    EXPECT_TRUE(sameUserDirectory({"J\xfcrgen", "d"}, {"J\xdcRGEN", "d"}));
    EXPECT_FALSE(sameUserDirectory({"J\xfcrgen", "d"}, {"Jurgen", "d"}));
}

TEST(SlotPlan, OneSlotIsTheListInOrderAndNoSlotsIsOne) {
    SlotPlan plan(sevenAccounts(), 0);
    for (std::size_t i = 0; i < 7; ++i) {
        const auto next = plan.startNext();
        ASSERT_TRUE(next);
        EXPECT_EQ(*next, i);
        EXPECT_FALSE(plan.startNext());
        plan.finished(i);
    }
    EXPECT_TRUE(plan.over());
    EXPECT_TRUE(SlotPlan({}, 4).over());
}

}  // namespace
}  // namespace rvo
