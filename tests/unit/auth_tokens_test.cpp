// The token side of OAuth sign-in: the JWT a service account signs, the
// request bodies and URLs, the provider's answer and the one log line of a
// failure, the cache, the [OAUTH2] rules and the token command's line.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/auth/base64.h"
#include "engine/core/auth/command_line.h"
#include "engine/core/auth/json_reader.h"
#include "engine/core/auth/jwt.h"
#include "engine/core/auth/oauth_settings.h"
#include "engine/core/auth/token_cache.h"
#include "engine/core/auth/token_request.h"

namespace rvo {
namespace {

std::string base64UrlDecode(std::string text) {
    for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (text.size() % 4 != 0) text += '=';
    return base64Decode(text, text.size()).value_or("<bad>");
}

TEST(Jwt, HeaderAndClaimsInTheirOrder) {
    const JwtClaims claims{.iss = "svc@proj.iam.gserviceaccount.com",
                           .sub = "alice@example.com",
                           .scope = "https://mail.google.com/",
                           .aud = "https://oauth2.googleapis.com/token",
                           .iat = 1765360000,
                           .exp = 1765363600};
    const std::string input = jwtSigningInput(claims);
    const std::size_t dot = input.find('.');
    ASSERT_NE(dot, std::string::npos);
    EXPECT_EQ(input.substr(0, dot), "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9");
    EXPECT_EQ(input.find_first_of("=+/"), std::string::npos);
    EXPECT_EQ(base64UrlDecode(input.substr(dot + 1)),
              R"({"iss":"svc@proj.iam.gserviceaccount.com","scope":"https://mail.google.com/",)"
              R"("aud":"https://oauth2.googleapis.com/token","exp":1765363600,"iat":1765360000,"sub":"alice@example.com"})");

    const std::string assertion = jwtAssemble(input, std::string("\xfb\xff\x00", 3));
    EXPECT_EQ(assertion, input + ".-_8A");
    // The same claims as a service account makes them for one mailbox.
    EXPECT_EQ(jwtSigningInput(serviceAccountClaims(claims.iss, claims.sub, claims.scope, claims.aud, claims.iat)), input);
}

TEST(Jwt, NoSubWhenEmptyEscapedTextsAndAnHourAtMost) {
    JwtClaims claims{.iss = "a\"b", .sub = "", .scope = "s", .aud = "u", .iat = 100, .exp = 100 + 7200};
    const std::string input = jwtSigningInput(claims);
    const std::string body = base64UrlDecode(input.substr(input.find('.') + 1));
    EXPECT_EQ(body, R"({"iss":"a\"b","scope":"s","aud":"u","exp":3700,"iat":100})");
    const JsonResult read = readJsonObject(body, JsonLimits{});
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.object.string("iss"), std::string("a\"b"));
    claims.exp = 100 + 3600;
    EXPECT_EQ(jwtSigningInput(claims), input);
    claims.exp = 160;
    EXPECT_NE(base64UrlDecode(jwtSigningInput(claims).substr(input.find('.') + 1)).find("\"exp\":160,"), std::string::npos);
    // A time at the end of the range does not wrap.
    claims.iat = INT64_MAX - 10;
    claims.exp = INT64_MAX;
    EXPECT_NE(base64UrlDecode(jwtSigningInput(claims).substr(input.find('.') + 1)).find("\"exp\":9223372036854775807,"),
              std::string::npos);
}

TEST(TokenRequest, FormBodiesEncodeEveryReservedByte) {
    EXPECT_EQ(formEncode("aZ09*-._ ~+&=%/:\xC3\xA9"), "aZ09*-._+%7E%2B%26%3D%25%2F%3A%C3%A9");
    EXPECT_EQ(clientCredentialsBody("0a1b-c2", "s3cr&t=+ x", std::string(kMicrosoftScope)),
              "grant_type=client_credentials&client_id=0a1b-c2&client_secret=s3cr%26t%3D%2B+x"
              "&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
    EXPECT_EQ(jwtBearerBody("eyJ.eyJ.sig-_"),
              "grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer&assertion=eyJ.eyJ.sig-_");
}

TEST(TokenRequest, TokenUrlsHttpsAnywhereHttpOnlyOnThisMachine) {
    std::string why;
    auto u = parseTokenUrl("https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token", why);
    ASSERT_TRUE(u) << why;
    EXPECT_TRUE(u->secure);
    EXPECT_EQ(u->host, "login.microsoftonline.com");
    EXPECT_EQ(u->port, 443u);
    EXPECT_EQ(u->path, "/contoso.onmicrosoft.com/oauth2/v2.0/token");
    u = parseTokenUrl("HTTP://localhost:8089/token?x=1", why);
    ASSERT_TRUE(u) << why;
    EXPECT_FALSE(u->secure);
    EXPECT_EQ(u->port, 8089u);
    EXPECT_EQ(u->path, "/token?x=1");
    u = parseTokenUrl("http://127.0.0.1", why);
    ASSERT_TRUE(u) << why;
    EXPECT_EQ(u->port, 80u);
    EXPECT_EQ(u->path, "/");
    u = parseTokenUrl("https://idp.example?a", why);
    ASSERT_TRUE(u) << why;
    EXPECT_EQ(u->path, "/?a");

    for (const char* bad : {"", "ftp://x/", "https:/x", "https://", "https:///path", "http://idp.example/token",
                            "http://127.0.0.2/", "http://localhost.evil.example/", "https://user:pw@idp.example/",
                            "https://idp.example:0/", "https://idp.example:65536/", "https://idp.example:/",
                            "https://idp.example:44x/", "https://idp.example/a b", "https://idp.example/\r\nHost: x",
                            "https://[::1]/", "https://idp.example/#frag", "https://id\xC3\xA9.example/"}) {
        why.clear();
        EXPECT_FALSE(parseTokenUrl(bad, why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    EXPECT_FALSE(parseTokenUrl("https://idp.example/" + std::string(kTokenUrlMaxBytes, 'a'), why));
}

TEST(TokenRequest, TenantBecomesOnePathSegment) {
    EXPECT_EQ(microsoftTokenUrl("contoso.onmicrosoft.com"),
              "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token");
    EXPECT_EQ(microsoftTokenUrl("72f988bf-86f1-41af-91ab-2d7cd011db47"),
              "https://login.microsoftonline.com/72f988bf-86f1-41af-91ab-2d7cd011db47/oauth2/v2.0/token");
    for (const char* bad : {"", ".", "..", "a/b", "a..b", ".a", "a.", "a?b", "a b", "a%2Fb", "a#b", "a@b"})
        EXPECT_EQ(microsoftTokenUrl(bad), "") << bad;
    EXPECT_EQ(microsoftTokenUrl(std::string(257, 'a')), "");
}

const TokenAnswerLimits kLimits{};

TEST(TokenAnswer, ReadsTheTokenAndItsLife) {
    TokenAnswer a = parseTokenAnswer(
        200, R"({"token_type":"Bearer","expires_in":3599,"ext_expires_in":3599,"access_token":"eyJ0eXAi.x-y_z~+/="})",
        kLimits);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a.accessToken, "eyJ0eXAi.x-y_z~+/=");
    EXPECT_EQ(a.expiresInSeconds, 3599);
    // As a text of digits; missing; longer than the cache keeps anything.
    EXPECT_EQ(parseTokenAnswer(200, R"({"access_token":"t","expires_in":"120"})", kLimits).expiresInSeconds, 120);
    EXPECT_EQ(parseTokenAnswer(200, R"({"access_token":"t"})", kLimits).expiresInSeconds, 3600);
    EXPECT_EQ(parseTokenAnswer(200, R"({"access_token":"t","expires_in":99999999999})", kLimits).expiresInSeconds,
              24 * 3600);
    EXPECT_TRUE(parseTokenAnswer(201, R"({"access_token":"t"})", kLimits).ok());
}

TEST(TokenAnswer, RefusesWhatNoSaslLineCanCarry) {
    const std::pair<std::string, TokenFailure> cases[] = {
        {R"({"access_token":""})", TokenFailure::BadToken},
        {R"({"access_token":"a b"})", TokenFailure::BadToken},
        {R"({"access_token":"a\u0001b"})", TokenFailure::BadToken},
        {R"({"access_token":"a\r\nb"})", TokenFailure::BadToken},
        {"{\"access_token\":\"\xC3\xA9\"}", TokenFailure::BadToken},
        {"{\"access_token\":\"" + std::string(kLimits.maxTokenBytes + 1, 'a') + "\"}", TokenFailure::BadToken},
        {R"({"access_token":7})", TokenFailure::NoToken},
        {R"({"token_type":"Bearer"})", TokenFailure::NoToken},
        {R"({"access_token":"t","expires_in":-5})", TokenFailure::BadExpiresIn},
        {R"({"access_token":"t","expires_in":"soon"})", TokenFailure::BadExpiresIn},
        {R"({"access_token":"t","expires_in":3599.5})", TokenFailure::BadExpiresIn},
        {"access_token=t", TokenFailure::NotJson},
        {"", TokenFailure::NotJson},
        {R"({"access_token":"t"} trailing)", TokenFailure::NotJson},
    };
    for (const auto& [body, failure] : cases) {
        const TokenAnswer a = parseTokenAnswer(200, body, kLimits);
        EXPECT_EQ(a.failure, failure) << body.substr(0, 80);
        EXPECT_EQ(a.accessToken, "") << body.substr(0, 80);
        EXPECT_NE(tokenFailureText(a).find("HTTP 200, "), std::string::npos) << tokenFailureText(a);
    }
    EXPECT_EQ(parseTokenAnswer(200, R"({"access_token":"t", "x":")" + std::string(70000, 'x') + "\"}", kLimits).failure,
              TokenFailure::NotJson);
}

TEST(TokenAnswer, FailureIsOneCleanLineWithTheProvidersWords) {
    const TokenAnswer refused = parseTokenAnswer(
        401,
        R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided.\r\nTrace ID: 1\r\nCorrelation ID: 2","error_codes":[7000215]})",
        kLimits);
    EXPECT_EQ(refused.failure, TokenFailure::HttpStatus);
    EXPECT_EQ(tokenFailureText(refused),
              "token request failed: HTTP 401, invalid_client: AADSTS7000215: Invalid client secret provided. Trace ID: 1 "
              "Correlation ID: 2");
    EXPECT_EQ(tokenFailureText(parseTokenAnswer(400, R"({"error":"invalid_grant"})", kLimits)),
              "token request failed: HTTP 400, invalid_grant");
    EXPECT_EQ(tokenFailureText(parseTokenAnswer(400, R"({"error_description":"no"})", kLimits)),
              "token request failed: HTTP 400, no");
    EXPECT_EQ(tokenFailureText(parseTokenAnswer(502, "<html>Bad gateway</html>", kLimits)), "token request failed: HTTP 502");
    // A 2xx answer without a token may still say why.
    EXPECT_EQ(tokenFailureText(parseTokenAnswer(200, R"({"error":"temporarily_unavailable"})", kLimits)),
              "token request failed: HTTP 200, the answer holds no access_token, temporarily_unavailable");
    // Long or hostile texts are cut and cleaned.
    const std::string text = tokenFailureText(parseTokenAnswer(
        400, "{\"error\":\"" + std::string(300, 'e') + "\",\"error_description\":\"\\u0000\\u001b[31m" +
                 std::string(1000, 'd') + "\xC3\xA9\"}",
        kLimits));
    EXPECT_EQ(text, "token request failed: HTTP 400, " + std::string(100, 'e') + "...: [31m" + std::string(396, 'd') + "...");
    for (const char c : text) EXPECT_TRUE(c >= 0x20 && c <= 0x7E);
}

TEST(TokenAnswer, NoSecretAssertionOrTokenInAnyFailureText) {
    const std::string secret = "Zq8~sEcReT.value_42";
    const std::string assertion = "eyJhbGciOiJSUzI1NiJ9.eyJpc3MiOiJ4In0.c2ln";
    const std::string token = "ya29.TOKEN-never-logged";
    const std::string bodies[] = {
        // A provider that echoes what it was sent.
        R"({"error":"invalid_client","error_description":"secret )" + secret + R"( and assertion )" + assertion + "\"}",
        R"({"error":")" + secret + "\"}",
        R"({"error":"x","error_description":")" + std::string(395, 'p') + secret + "\"}",
        // A token that is refused is not kept, so it cannot be told.
        R"({"access_token":")" + token + R"( ","expires_in":3600})",
        R"({"access_token":")" + token + R"(","expires_in":"x"})",
    };
    for (const int status : {200, 400, 401}) {
        for (const std::string& body : bodies) {
            const TokenAnswer a = parseTokenAnswer(status, body, kLimits);
            ASSERT_FALSE(a.ok());
            const std::string text = tokenFailureText(a, {secret, assertion});
            EXPECT_EQ(text.find(secret), std::string::npos) << text;
            EXPECT_EQ(text.find(secret.substr(0, 8)), std::string::npos) << text;
            EXPECT_EQ(text.find(assertion), std::string::npos) << text;
            EXPECT_EQ(text.find(token), std::string::npos) << text;
        }
    }
}

TEST(TokenCache, ReusesUntilTheMarginThenRenewsAndDropsOnExpiry) {
    TokenCache cache(300);
    EXPECT_FALSE(cache.find("contoso", 1000));
    cache.store("contoso", "t1", 3599, 1000);
    EXPECT_EQ(cache.find("contoso", 1000), std::string("t1"));
    EXPECT_EQ(cache.find("contoso", 1000 + 3599 - 301), std::string("t1"));
    EXPECT_FALSE(cache.find("contoso", 1000 + 3599 - 300));
    EXPECT_FALSE(cache.find("fabrikam", 1000));
    cache.store("contoso", "t2", 3599, 4500);
    EXPECT_EQ(cache.find("contoso", 4500), std::string("t2"));
    // The server said the token expired: never handed out again.
    cache.drop("contoso");
    EXPECT_FALSE(cache.find("contoso", 4500));
    cache.drop("never-stored");
    // A life shorter than the margin is never served from the cache.
    cache.store("bob", "short", 200, 0);
    EXPECT_FALSE(cache.find("bob", 0));
    // Extreme values saturate instead of wrapping into the past or future.
    cache.store("far", "f", INT64_MAX, INT64_MAX - 5);
    EXPECT_EQ(cache.find("far", INT64_MAX - 1), std::string("f"));
    TokenCache noMargin(0);
    noMargin.store("k", "v", 10, INT64_MIN + 1);
    EXPECT_EQ(noMargin.find("k", INT64_MIN + 10), std::string("v"));
    EXPECT_FALSE(noMargin.find("k", INT64_MIN + 11));
}

OAuthSettingsText sectionText(std::string mechanism, std::string source = "") {
    OAuthSettingsText text;
    text.mechanism = std::move(mechanism);
    text.tokenSource = std::move(source);
    return text;
}

OAuthSettingsText microsoftText() {
    OAuthSettingsText text = sectionText(" XOAuth2 ", "Microsoft");
    text.tenant = "contoso.onmicrosoft.com";
    text.clientId = "0a1b2c3d";
    text.clientSecret = "Zq8~sEcReT.value_42";
    return text;
}

TEST(OAuthSettings, MissingMechanismKeepsPasswordLogins) {
    OAuthSettingsText text = microsoftText();
    text.mechanism = "  ";
    text.tokenSource = "nonsense";
    const OAuthSettingsResult r = parseOAuthSettings(text);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.settings.mechanism, OAuthMechanism::None);
    EXPECT_FALSE(oauthSecurityProblem(r.settings, Security::None));
}

TEST(OAuthSettings, EachSourceGetsItsDefaults) {
    OAuthSettingsResult r = parseOAuthSettings(microsoftText());
    ASSERT_TRUE(r.ok()) << r.problem;
    EXPECT_EQ(r.settings.mechanism, OAuthMechanism::XOAuth2);
    EXPECT_EQ(r.settings.source, TokenSource::Microsoft);
    EXPECT_EQ(r.settings.scope, kMicrosoftScope);
    EXPECT_EQ(r.settings.tokenUrl, "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token");
    EXPECT_EQ(tokenCacheKey(r.settings, "alice@contoso.com"), "contoso.onmicrosoft.com");

    OAuthSettingsText overridden = microsoftText();
    overridden.tokenUrl = "http://localhost:8089/token";
    overridden.scope = "mail";
    r = parseOAuthSettings(overridden);
    ASSERT_TRUE(r.ok()) << r.problem;
    EXPECT_EQ(r.settings.tokenUrl, "http://localhost:8089/token");
    EXPECT_EQ(r.settings.scope, "mail");

    OAuthSettingsText google = sectionText("OAUTHBEARER", "google");
    google.keyFile = "C:\\keys\\svc.json";
    r = parseOAuthSettings(google);
    ASSERT_TRUE(r.ok()) << r.problem;
    EXPECT_EQ(r.settings.mechanism, OAuthMechanism::OAuthBearer);
    EXPECT_EQ(r.settings.scope, kGoogleScope);
    EXPECT_EQ(r.settings.tokenUrl, "");
    EXPECT_EQ(tokenCacheKey(r.settings, "alice@example.com"), "alice@example.com");

    OAuthSettingsText command = sectionText("xoauth2", "command");
    command.tokenCommand = "C:\\tools\\token.exe";
    r = parseOAuthSettings(command);
    ASSERT_TRUE(r.ok()) << r.problem;
    EXPECT_EQ(r.settings.source, TokenSource::Command);
    EXPECT_EQ(r.settings.scope, "");
    EXPECT_EQ(tokenCacheKey(r.settings, "bob"), "bob");
}

TEST(OAuthSettings, BadOrIncompleteSectionsNameTheKeyNeverTheSecret) {
    const std::string secret = microsoftText().clientSecret;
    const auto problemWith = [](OAuthSettingsText text) { return parseOAuthSettings(text).problem; };
    const std::pair<std::string, const char*> cases[] = {
        {problemWith(sectionText("plain")), "MECHANISM=plain"},
        {problemWith(sectionText("xoauth2")), "TOKEN_SOURCE is missing"},
        {[&] { auto t = microsoftText(); t.tokenSource = "yahoo"; return problemWith(t); }(), "TOKEN_SOURCE=yahoo"},
        {[&] { auto t = microsoftText(); t.tenant = ""; return problemWith(t); }(), "needs TENANT"},
        {[&] { auto t = microsoftText(); t.tenant = "a/../b"; return problemWith(t); }(), "TENANT=a/../b"},
        {[&] { auto t = microsoftText(); t.clientId = ""; return problemWith(t); }(), "needs CLIENT_ID"},
        {[&] { auto t = microsoftText(); t.clientSecret = ""; return problemWith(t); }(), "needs CLIENT_SECRET"},
        {[&] { auto t = microsoftText(); t.clientSecret = secret + "\n"; return problemWith(t); }(), "CLIENT_SECRET holds"},
        {[&] { auto t = microsoftText(); t.tokenUrl = "http://idp.example/t"; return problemWith(t); }(), "TOKEN_URL: "},
        {problemWith(sectionText("xoauth2", "google")), "needs KEY_FILE"},
        {problemWith(sectionText("xoauth2", "command")), "needs TOKEN_COMMAND"},
    };
    for (const auto& [problem, expected] : cases) {
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
        EXPECT_EQ(problem.rfind("[OAUTH2] ", 0), 0u) << problem;
        EXPECT_EQ(problem.find(secret), std::string::npos) << problem;
        for (const char c : problem) EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << problem;
    }
    // A value quoted back is cut short and kept printable.
    const std::string long_ = problemWith(sectionText(std::string(500, 'm') + "\x1b"));
    EXPECT_LT(long_.size(), 120u);
}

TEST(OAuthSettings, NoBearerTokenInClearText) {
    const OAuthSettings s = parseOAuthSettings(microsoftText()).settings;
    const std::optional<std::string> problem = oauthSecurityProblem(s, Security::None);
    ASSERT_TRUE(problem);
    EXPECT_NE(problem->find("MECHANISM=xoauth2"), std::string::npos);
    EXPECT_NE(problem->find("never sent in clear text"), std::string::npos);
    EXPECT_FALSE(oauthSecurityProblem(s, Security::Tls));
    EXPECT_FALSE(oauthSecurityProblem(s, Security::StartTls));
}

// How the C runtime and CommandLineToArgvW split a command line: the
// program by its own rule, then arguments with the backslash rules.
std::vector<std::string> splitLikeWindows(const std::string& line) {
    std::vector<std::string> args;
    std::size_t i = 0;
    std::string program;
    if (!line.empty() && line[0] == '"') {
        const std::size_t close = line.find('"', 1);
        program = line.substr(1, close - 1);
        i = close == std::string::npos ? line.size() : close + 1;
    } else {
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') program += line[i++];
    }
    args.push_back(program);
    while (true) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
            if (i < line.size() && line[i] == '"') {
                arg.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) arg += '"';
                else quoted = !quoted;
                ++i;
            } else {
                arg.append(backslashes, '\\');
                if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) arg += line[i++];
            }
        }
        args.push_back(arg);
    }
    return args;
}

TEST(CommandLine, AnySourceUserArrivesAsExactlyOneArgument) {
    EXPECT_EQ(windowsCommandLine("C:\\tools\\token.exe", "alice@example.com"),
              std::string("C:\\tools\\token.exe \"alice@example.com\""));
    EXPECT_EQ(windowsCommandLine("C:\\Program Files\\Token\\get.exe", "a b"),
              std::string("\"C:\\Program Files\\Token\\get.exe\" \"a b\""));
    EXPECT_EQ(windowsCommandLine("\"C:\\Program Files\\get.exe\"", ""), std::string("\"C:\\Program Files\\get.exe\" \"\""));
    EXPECT_EQ(windowsCommandLine("t.exe", "a\\\"b\\"), std::string("t.exe \"a\\\\\\\"b\\\\\""));
    const std::string users[] = {"",      "plain", "two words", "tab\there", "q\"uote", "\"",       "\\",
                                 "\\\\",  "ends\\", "a\\\\\"b", "\\\"\\\"", "-x --flag", "%PATH% & | ^ <>",
                                 "\xC3\xA9l\xC3\xA8ve"};
    for (const char* program : {"C:\\t.exe", "C:\\Program Files\\t.exe", "\"C:\\dir\\t.exe\"", "C:\\dir with\\"}) {
        for (const std::string& user : users) {
            const std::optional<std::string> line = windowsCommandLine(program, user);
            ASSERT_TRUE(line) << user;
            const std::vector<std::string> args = splitLikeWindows(*line);
            ASSERT_EQ(args.size(), 2u) << *line;
            std::string bare = program;
            if (bare.front() == '"') bare = bare.substr(1, bare.size() - 2);
            EXPECT_EQ(args[0], bare) << *line;
            EXPECT_EQ(args[1], user) << *line;
        }
    }
}

TEST(CommandLine, RefusesWhatNoCommandLineCanCarry) {
    for (const std::string& bad : {std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)}) {
        EXPECT_FALSE(windowsCommandLine("t.exe", bad));
        EXPECT_FALSE(windowsCommandLine(bad, "user"));
    }
    for (const char* program : {"", "\"\"", "C:\\a\"b.exe", "\"C:\\a.exe", "C:\\a.exe\""})
        EXPECT_FALSE(windowsCommandLine(program, "user")) << program;
}

TEST(CommandLine, ABatchFileTakesOnlyWhatTheCommandInterpreterCannotMisread) {
    // cmd.exe has no backslash escape: the quote would end the quoting and "&" start a command.
    for (const char* program : {"C:\\t\\token.bat", "\"C:\\my tools\\token.CMD\"", "token.Bat"}) {
        EXPECT_TRUE(windowsCommandLine(program, "alice.o-brien+x@company.test")) << program;
        for (const char* user : {"a\"&calc&\"", "%PATH%", "a b@x", "a^b", "a|b", "a<b", "a(b)"})
            EXPECT_FALSE(windowsCommandLine(program, user)) << program << " " << user;
    }
    // Any other program keeps the runtime's quoting for every text.
    EXPECT_EQ(windowsCommandLine("C:\\t\\token.exe", "a\"&b"), std::optional<std::string>("C:\\t\\token.exe \"a\\\"&b\""));
}

}  // namespace
}  // namespace rvo
