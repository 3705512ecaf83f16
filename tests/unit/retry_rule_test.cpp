#include <gtest/gtest.h>

#include "batch/core/retry_rule.h"
#include "batch/core/run_settings.h"

namespace rvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

struct Wording {
    const char* line;
    SessionEnd end;
    std::optional<milliseconds> suggested;
};

TEST(ServerPushback, EachWordingIsRecognisedWithItsSuggestedWait) {
    const Wording cases[] = {
        {"a7 NO [THROTTLED] Too many commands\r\n", SessionEnd::Throttled, std::nullopt},
        {"a7 no [throttled] slow down", SessionEnd::Throttled, std::nullopt},
        {"* NO [UNAVAILABLE] Backend down", SessionEnd::TemporaryFailure, std::nullopt},
        {"a3 NO [INUSE] Mailbox locked", SessionEnd::TemporaryFailure, std::nullopt},
        {"* BYE [UNAVAILABLE] Try later", SessionEnd::TemporaryFailure, std::nullopt},
        {"* BYE [THROTTLED]", SessionEnd::Throttled, std::nullopt},
        {"a5 NO Request is throttled. Suggested Backoff Time: 1500 milliseconds\r\n", SessionEnd::Throttled,
         milliseconds(1500)},
        {"a5 NO request IS THROTTLED. suggested backoff time:   207 MILLISECONDS", SessionEnd::Throttled,
         milliseconds(207)},
        {"* BYE [ALERT] Account exceeded command or bandwidth limits", SessionEnd::Throttled, std::nullopt},
        {"a9 NO Account exceeded command or bandwidth limits. (Failure)", SessionEnd::Throttled, std::nullopt},
        {"-ERR [IN-USE] Mailbox in use\r\n", SessionEnd::TemporaryFailure, std::nullopt},
        {"-ERR [in-use]", SessionEnd::TemporaryFailure, std::nullopt},
        {"-ERR [SYS/TEMP] Try again", SessionEnd::TemporaryFailure, std::nullopt},
        {"-ERR [SYS/TEMP] Request is throttled. Suggested Backoff Time: 20 milliseconds", SessionEnd::Throttled,
         milliseconds(20)},
    };
    for (const Wording& w : cases) {
        const auto pushback = recogniseServerPushback(w.line);
        ASSERT_TRUE(pushback) << w.line;
        EXPECT_EQ(pushback->end, w.end) << w.line;
        EXPECT_EQ(pushback->suggestedWait, w.suggested) << w.line;
        EXPECT_TRUE(isRetried(pushback->end)) << w.line;
    }
}

TEST(ServerPushback, OtherRefusalsAndOtherLinesAreNotPushback) {
    for (const char* line : {
             "a1 NO [AUTHENTICATIONFAILED] Invalid credentials",  // a wrong password is never retried
             "a1 NO LOGIN failed",
             "-ERR [AUTH] Authentication failed",
             "-ERR [SYS/PERM] Mailbox broken",
             // A refused sign-in stays refused whatever its text says.
             "a1 NO [AUTHENTICATIONFAILED] Request is throttled. Suggested Backoff Time: 10 milliseconds",
             "a1 NO [contactadmin] Account exceeded command or bandwidth limits",
             "-ERR [AUTH] Account exceeded command or bandwidth limits",
             "-ERR",
             "a2 OK [THROTTLED] fine after all",  // only refusals count
             "a2 OK Request is throttled. Suggested Backoff Time: 10 milliseconds",
             "+OK NO [THROTTLED]",
             "+ NO [INUSE]",
             "* 12 EXISTS",
             "a4 BAD [THROTTLED]",
             "* BYE Logging out",
             "a1 NO [THROTTLEDX] not the code",
             "a1 NO [UNAVAILABLE",  // an unclosed code still names it; see below
             "",
             "NO",
             "\r\n",
         }) {
        const auto pushback = recogniseServerPushback(line);
        if (std::string_view(line) == "a1 NO [UNAVAILABLE") {
            EXPECT_TRUE(pushback) << line;
            continue;
        }
        EXPECT_FALSE(pushback) << line;
    }
}

TEST(ServerPushback, SuggestedTimeIsBoundedAndNeedsDigits) {
    auto suggested = [](const std::string& line) { return recogniseServerPushback(line)->suggestedWait; };
    EXPECT_EQ(suggested("a NO Request is throttled. Suggested Backoff Time: 99999999999999999999999999 milliseconds"),
              kLongestSuggestedWait);
    EXPECT_EQ(suggested("a NO Request is throttled. Suggested Backoff Time: 0 milliseconds"), milliseconds(0));
    EXPECT_EQ(suggested("a NO Suggested Backoff Time: 3 seconds"), milliseconds(3000));
    // No number: throttled, but the usual doubling applies.
    const auto noNumber = recogniseServerPushback("a NO Request is throttled. Suggested Backoff Time: soon");
    ASSERT_TRUE(noNumber);
    EXPECT_EQ(noNumber->end, SessionEnd::Throttled);
    EXPECT_FALSE(noNumber->suggestedWait);
    // A number past the read limit of the line is not looked for.
    const std::string far = "a NO [UNAVAILABLE] " + std::string(2000, 'x') + " Suggested Backoff Time: 5";
    EXPECT_FALSE(suggested(far));
}

TEST(RetryDecision, NotNowEndingsAreRetriedAndTheRestNever) {
    for (const SessionEnd end : {SessionEnd::ConnectionDropped, SessionEnd::Stalled, SessionEnd::ByeBeforeLogout,
                                 SessionEnd::Throttled, SessionEnd::TemporaryFailure, SessionEnd::ConnectRefused,
                                 SessionEnd::ConnectTimedOut}) {
        EXPECT_TRUE(isRetried(end)) << sessionEndText(end);
        EXPECT_TRUE(mayRetry(end, 1, 3));
        EXPECT_TRUE(mayRetry(end, 3, 3));
        EXPECT_FALSE(mayRetry(end, 4, 3));
        EXPECT_FALSE(mayRetry(end, 1, 0));  // RETRIES missing: the first failure ends the account
    }
    for (const SessionEnd end :
         {SessionEnd::Completed, SessionEnd::AlreadyMigrated, SessionEnd::LoginRefused, SessionEnd::CertificateRefused,
          SessionEnd::SettingsMistake, SessionEnd::StoreWriteFailed, SessionEnd::DatabaseFailed,
          SessionEnd::ServerError, SessionEnd::Cancelled, SessionEnd::Failed}) {
        EXPECT_FALSE(isRetried(end)) << sessionEndText(end);
        EXPECT_FALSE(mayRetry(end, 1, 10)) << sessionEndText(end);
        EXPECT_FALSE(sessionEndText(end).empty());
    }
}

TEST(RetryWait, DoublesFromTenSecondsUpToFiveMinutes) {
    const RetryLimits limits;
    EXPECT_EQ(retryWait(limits, 1, std::nullopt), seconds(10));
    EXPECT_EQ(retryWait(limits, 2, std::nullopt), seconds(20));
    EXPECT_EQ(retryWait(limits, 3, std::nullopt), seconds(40));
    EXPECT_EQ(retryWait(limits, 5, std::nullopt), seconds(160));
    EXPECT_EQ(retryWait(limits, 6, std::nullopt), minutes(5));
    EXPECT_EQ(retryWait(limits, 10, std::nullopt), minutes(5));
    EXPECT_EQ(retryWait(limits, 1000000, std::nullopt), minutes(5));
}

TEST(RetryWait, ServerSuggestionWinsUpToFifteenMinutes) {
    const RetryLimits limits;
    EXPECT_EQ(retryWait(limits, 4, milliseconds(1500)), milliseconds(1500));
    EXPECT_EQ(retryWait(limits, 1, minutes(14)), minutes(14));
    EXPECT_EQ(retryWait(limits, 1, minutes(16)), minutes(15));
    EXPECT_EQ(retryWait(limits, 1, kLongestSuggestedWait), minutes(15));
    EXPECT_EQ(retryWait(limits, 1, milliseconds(-5)), milliseconds(0));
}

TEST(RetryWait, BoundsAreValuesTheCallerChooses) {
    const RetryLimits fast{.firstWait = milliseconds(5), .longestWait = milliseconds(30),
                           .longestSuggestedWait = milliseconds(100)};
    EXPECT_EQ(retryWait(fast, 1, std::nullopt), milliseconds(5));
    EXPECT_EQ(retryWait(fast, 3, std::nullopt), milliseconds(20));
    EXPECT_EQ(retryWait(fast, 4, std::nullopt), milliseconds(30));
    EXPECT_EQ(retryWait(fast, 1, milliseconds(1500)), milliseconds(100));
    // A first wait above the cap is held to the cap.
    const RetryLimits odd{.firstWait = minutes(10), .longestWait = minutes(1), .longestSuggestedWait = minutes(1)};
    EXPECT_EQ(retryWait(odd, 1, std::nullopt), minutes(1));
}

TEST(RetryLogText, NamesTheRetryTheAccountTheWaitAndTheReason) {
    EXPECT_EQ(retryLogText(2, 3, 4, "alice", seconds(20), SessionEnd::ConnectionDropped),
              "Retry 2 of 3 for account [4] (alice) in 20 s: the connection dropped");
    EXPECT_EQ(retryLogText(1, 1, 12, "bob", milliseconds(1500), SessionEnd::Throttled),
              "Retry 1 of 1 for account [12] (bob) in 1500 ms: the server is throttling the account");
    // A user name from the list cannot break the line.
    const std::string text = retryLogText(1, 2, 1, "ev\r\nil", seconds(10), SessionEnd::Stalled);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(text.find("(ev??il)"), std::string::npos);
}

TEST(RunSettings, ParallelFromOneToSixteenElseOneAtATime) {
    EXPECT_EQ(parseParallel("").accounts, 1);
    EXPECT_TRUE(parseParallel("").problem.empty());
    EXPECT_EQ(parseParallel("1").accounts, 1);
    EXPECT_EQ(parseParallel("8").accounts, 8);
    EXPECT_EQ(parseParallel("16").accounts, 16);
    EXPECT_EQ(parseParallel("016").accounts, 16);
    EXPECT_TRUE(parseParallel("16").problem.empty());
    for (const char* wrong : {"0", "17", "-2", "+3", "4 ", "x", "99999999999999999999", "0x10"}) {
        const ParallelSetting s = parseParallel(wrong);
        EXPECT_EQ(s.accounts, 1) << wrong;
        EXPECT_NE(s.problem.find("PARALLEL="), std::string::npos) << wrong;
    }
}

TEST(RunSettings, RetriesFromZeroToTenElseNone) {
    EXPECT_EQ(parseRetries("").retries, 0);
    EXPECT_TRUE(parseRetries("").problem.empty());
    EXPECT_EQ(parseRetries("0").retries, 0);
    EXPECT_EQ(parseRetries("3").retries, 3);
    EXPECT_EQ(parseRetries("10").retries, 10);
    for (const char* wrong : {"11", "-1", "three", "3.0", "99999999999999999999"}) {
        const RetriesSetting s = parseRetries(wrong);
        EXPECT_EQ(s.retries, 0) << wrong;
        EXPECT_NE(s.problem.find("RETRIES="), std::string::npos) << wrong;
    }
    // The quoted value is bounded and stays one line.
    const std::string problem = parseRetries(std::string(500, 'x') + "\n").problem;
    EXPECT_LT(problem.size(), 150u);
    EXPECT_EQ(problem.find('\n'), std::string::npos);
}

TEST(RunSettings, CheckOnlyMistakesCheckRatherThanMigrate) {
    EXPECT_FALSE(parseCheckOnly("").checkOnly);
    EXPECT_FALSE(parseCheckOnly("0").checkOnly);
    EXPECT_TRUE(parseCheckOnly("1").checkOnly);
    EXPECT_TRUE(parseCheckOnly("1").problem.empty());
    for (const char* wrong : {"yes", "2", "true", "00"}) {
        const CheckOnlySetting s = parseCheckOnly(wrong);
        EXPECT_TRUE(s.checkOnly) << wrong;
        EXPECT_NE(s.problem.find("CHECK_ONLY="), std::string::npos) << wrong;
    }
}

}  // namespace
}  // namespace rvo
