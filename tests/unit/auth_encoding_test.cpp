// Base64, the JSON reader and writer, the SASL messages and the JWT: the
// byte-exact texts that go to servers and identity providers.
#include <gtest/gtest.h>

#include <string>

#include "engine/core/auth/base64.h"
#include "engine/core/auth/json_reader.h"
#include "engine/core/auth/sasl_oauth.h"

namespace rvo {
namespace {

TEST(Base64, EncodesTheRfcVectorsInBothAlphabets) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(plain), encoded);
        EXPECT_EQ(base64Decode(encoded, 100), std::string(plain));
    }
    // The two alphabets differ in exactly the last two letters; the URL form has no padding.
    const std::string high("\xfb\xff\xbf", 3);
    EXPECT_EQ(base64Encode(high), "+/+/");
    EXPECT_EQ(base64UrlEncode(high), "-_-_");
    EXPECT_EQ(base64UrlEncode("f"), "Zg");
    EXPECT_EQ(base64UrlEncode("fo"), "Zm8");
}

TEST(Base64, DecodesEveryByteValueBack) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (std::size_t n = 0; n <= all.size(); n += 37) {
        const std::string part = all.substr(0, n) + all.substr(256 - n % 5);
        EXPECT_EQ(base64Decode(base64Encode(part), part.size()), part);
    }
}

TEST(Base64, RefusesWhatIsNotExactlyBase64) {
    for (const char* bad : {"Zg", "Zg=", "Zg===", "Z===", "====", "Zm9v Zg==", "Zm9v\r\n", "Zg=a", "Z=g=", "Zm-_",
                            "Zh==",  // unused bits not zero
                            "Zm9=",  // the same for one pad
                            "Zg==Zg=="}) {
        EXPECT_FALSE(base64Decode(bad, 100)) << bad;
    }
    EXPECT_FALSE(base64Decode(std::string("Zg=\0", 4), 100));
}

TEST(Base64, RefusesMoreThanTheCallerTakes) {
    EXPECT_EQ(base64Decode("Zm9vYmFy", 6), std::string("foobar"));
    EXPECT_FALSE(base64Decode("Zm9vYmFy", 5));
    EXPECT_EQ(base64Decode("Zm9vYmE=", 5), std::string("fooba"));
    EXPECT_FALSE(base64Decode("Zm9vYmE=", 4));
    EXPECT_EQ(base64Decode("", 0), std::string());
}


JsonResult readSmall(std::string_view text) {
    return readJsonObject(text, JsonLimits{.maxBytes = 512, .maxDepth = 4, .maxMembers = 8, .maxStringBytes = 64});
}

TEST(JsonReader, KeepsTopLevelScalarsAndSkipsNestedValues) {
    const JsonResult r = readSmall(
        "\xEF\xBB\xBF { \"access_token\" : \"a\\\"b\\\\c\\/d\\n\",\"expires_in\":3599, \"ext_expires_in\":-1.5e3,"
        "\"ok\":true,\"no\":false,\"nil\":null,\"obj\":{\"x\":[1,{\"y\":2},\"z\"],\"e\":{}},\"arr\":[] }\r\n");
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(r.object.string("access_token"), std::string("a\"b\\c/d\n"));
    EXPECT_EQ(r.object.nonNegativeInteger("expires_in"), 3599);
    EXPECT_EQ(r.object.find("ext_expires_in")->text, "-1.5e3");
    EXPECT_FALSE(r.object.nonNegativeInteger("ext_expires_in"));
    EXPECT_EQ(r.object.find("ok")->kind, JsonKind::Boolean);
    EXPECT_EQ(r.object.find("no")->text, "false");
    EXPECT_EQ(r.object.find("nil")->kind, JsonKind::Null);
    EXPECT_EQ(r.object.find("obj")->kind, JsonKind::Object);
    EXPECT_EQ(r.object.find("arr")->kind, JsonKind::Array);
    // A number is not a string, nor a string a number.
    EXPECT_FALSE(r.object.string("expires_in"));
    EXPECT_FALSE(r.object.nonNegativeInteger("access_token"));
    EXPECT_EQ(r.object.members().size(), 8u);
    EXPECT_TRUE(readSmall("{}").ok());
}

TEST(JsonReader, DecodesUnicodeEscapesAndRefusesLoneSurrogates) {
    const JsonResult r = readSmall(R"({"a":"\u00e9\u20AC\ud83d\ude00\u0000","b":"\u00e9 raw )" "\xC3\xA9\"}");
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(r.object.string("a"), std::string("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0", 10));
    EXPECT_EQ(r.object.string("b"), std::string("\xC3\xA9 raw \xC3\xA9"));
    for (const char* bad : {R"({"a":"\ud83d"})", R"({"a":"\ud83dx"})", R"({"a":"\ud83d\u0041"})", R"({"a":"\ude00"})",
                            R"({"a":"\u12"})", R"({"a":"\u12g4"})", R"({"a":"\x"})"})
        EXPECT_EQ(readSmall(bad).error, JsonError::BadEscape) << bad;
    // Raw bytes must be UTF-8: no overlong form, no encoded surrogate, no stray continuation, no control character.
    for (const char* bad : {"{\"a\":\"\xC0\xAF\"}", "{\"a\":\"\xED\xA0\x80\"}", "{\"a\":\"\x80\"}",
                            "{\"a\":\"\xF4\x90\x80\x80\"}", "{\"a\":\"\xE2\x82\"}", "{\"a\":\"tab\there\"}"})
        EXPECT_EQ(readSmall(bad).error, JsonError::BadUtf8) << bad;
}

TEST(JsonReader, RefusesMalformedTextCleanly) {
    const std::pair<const char*, JsonError> cases[] = {
        {"", JsonError::NotAnObject},
        {"[1]", JsonError::NotAnObject},
        {"\"s\"", JsonError::NotAnObject},
        {"{", JsonError::Syntax},
        {"{\"a\"}", JsonError::Syntax},
        {"{\"a\":}", JsonError::Syntax},
        {"{\"a\":1,}", JsonError::Syntax},
        {"{,}", JsonError::Syntax},
        {"{a:1}", JsonError::Syntax},
        {"{'a':1}", JsonError::Syntax},
        {"{\"a\":01}", JsonError::Syntax},
        {"{\"a\":1.}", JsonError::Syntax},
        {"{\"a\":1e}", JsonError::Syntax},
        {"{\"a\":+1}", JsonError::Syntax},
        {"{\"a\":tru}", JsonError::Syntax},
        {"{\"a\":[1,]}", JsonError::Syntax},
        {"{\"a\":[1 2]}", JsonError::Syntax},
        {"{\"a\":{\"b\":1,}}", JsonError::Syntax},
        {"{\"a\":{\"b\"}}", JsonError::Syntax},
        {"{\"a\":[}", JsonError::Syntax},
        {"{\"a\":[1}", JsonError::Syntax},
        {"{\"a\":\"open}", JsonError::Syntax},
        {"{\"a\":1}}", JsonError::TrailingText},
        {"{\"a\":1} {}", JsonError::TrailingText},
        {"{\"a\":1,\"a\":2}", JsonError::DuplicateMember},
    };
    for (const auto& [text, error] : cases) {
        const JsonResult r = readSmall(text);
        EXPECT_EQ(r.error, error) << text;
        EXPECT_FALSE(r.reason.empty()) << text;
        EXPECT_TRUE(r.object.members().empty()) << text;
    }
    EXPECT_EQ(readSmall(std::string("{\"a\":1}\0", 8)).error, JsonError::TrailingText);
}

TEST(JsonReader, EveryLimitIsANamedRefusal) {
    // The top-level object is depth 1; the limit here is 4.
    EXPECT_EQ(readSmall(R"({"a":[[[[1]]]]})").error, JsonError::TooDeep);
    EXPECT_TRUE(readSmall(R"({"a":[[[1]]]})").ok());
    EXPECT_TRUE(readSmall(R"({"a":[{"b":{}}]})").ok());
    EXPECT_EQ(readSmall(R"({"a":[{"b":{"c":{}}}]})").error, JsonError::TooDeep);
    EXPECT_EQ(readSmall(R"({"1":1,"2":2,"3":3,"4":4,"5":5,"6":6,"7":7,"8":8})").object.members().size(), 8u);
    EXPECT_EQ(readSmall(R"({"1":1,"2":2,"3":3,"4":4,"5":5,"6":6,"7":7,"8":8,"9":9})").error, JsonError::TooManyMembers);
    EXPECT_EQ(readSmall(R"({"a":[1,2,3,4,5,6,7,8,9]})").error, JsonError::TooManyMembers);
    EXPECT_EQ(readSmall(R"({"a":{"1":1,"2":2,"3":3,"4":4,"5":5,"6":6,"7":7,"8":8,"9":9}})").error, JsonError::TooManyMembers);
    const std::string at = std::string(64, 'x');
    EXPECT_TRUE(readSmall("{\"a\":\"" + at + "\"}").ok());
    EXPECT_EQ(readSmall("{\"a\":\"" + at + "x\"}").error, JsonError::StringTooLong);
    EXPECT_EQ(readSmall("{\"" + at + "x\":1}").error, JsonError::StringTooLong);
    EXPECT_EQ(readSmall("{\"a\":[\"" + at + "x\"]}").error, JsonError::StringTooLong);
    // An escape counts as the bytes it decodes to.
    std::string escaped;
    for (int i = 0; i < 21; ++i) escaped += "\\u20ac";
    EXPECT_TRUE(readSmall("{\"a\":\"" + escaped + "\"}").ok());
    EXPECT_EQ(readSmall("{\"a\":\"" + escaped + "\\u20ac\"}").error, JsonError::StringTooLong);
    EXPECT_EQ(readSmall("{\"a\":\"" + std::string(600, 'x') + "\"}").error, JsonError::TooLarge);
    // Deep nesting far beyond the limit is refused, not walked.
    EXPECT_EQ(readJsonObject("{\"a\":" + std::string(100000, '['), JsonLimits{.maxBytes = 200000}).error,
              JsonError::TooDeep);
}

TEST(JsonReader, ReasonNamesThePlaceNeverTheContent) {
    const JsonResult r = readSmall(R"({"access_token":"SECRET-VALUE","x":"\q"})");
    EXPECT_EQ(r.error, JsonError::BadEscape);
    EXPECT_EQ(r.reason.find("SECRET"), std::string::npos);
    EXPECT_NE(r.reason.find("byte 38"), std::string::npos) << r.reason;
}

TEST(JsonReader, NonNegativeIntegerFits63Bits) {
    EXPECT_EQ(jsonNonNegativeInteger("0"), 0);
    EXPECT_EQ(jsonNonNegativeInteger("9223372036854775807"), INT64_MAX);
    EXPECT_FALSE(jsonNonNegativeInteger("9223372036854775808"));
    EXPECT_FALSE(jsonNonNegativeInteger("99999999999999999999999"));
    for (const char* bad : {"", "-1", "1.0", "1e3", " 1"}) EXPECT_FALSE(jsonNonNegativeInteger(bad)) << bad;
}

TEST(JsonString, EscapesWhatJsonNeedsAndReadsBackUnchanged) {
    EXPECT_EQ(jsonString("svc@proj.iam.gserviceaccount.com"), "\"svc@proj.iam.gserviceaccount.com\"");
    EXPECT_EQ(jsonString(std::string("q\"b\\/\n\r\t\b\f\x01\x1f\0\x7f", 14)),
              "\"q\\\"b\\\\/\\n\\r\\t\\b\\f\\u0001\\u001f\\u0000\x7f\"");
    EXPECT_EQ(jsonString("\xC3\xA9\xF0\x9F\x98\x80"), "\"\xC3\xA9\xF0\x9F\x98\x80\"");
    // Bytes that are not UTF-8 cannot be said in JSON: each becomes U+FFFD.
    EXPECT_EQ(jsonString("a\xC3(\xFF"), "\"a\xEF\xBF\xBD(\xEF\xBF\xBD\"");
    std::string all;
    for (int i = 0; i < 128; ++i) all += static_cast<char>(i);
    all += "\xE2\x82\xAC";
    const JsonResult r = readJsonObject("{\"k\":" + jsonString(all) + "}", JsonLimits{});
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(r.object.string("k"), all);
    EXPECT_TRUE(isValidUtf8(all));
    EXPECT_FALSE(isValidUtf8("\xC3"));
}

TEST(SaslOAuth, MessagesMatchTheProviderAndRfcExamplesByteForByte) {
    EXPECT_EQ(saslMechanismName(SaslMechanism::XOAuth2), "XOAUTH2");
    EXPECT_EQ(saslMechanismName(SaslMechanism::OAuthBearer), "OAUTHBEARER");
    const std::string x = xoauth2Message("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg");
    EXPECT_EQ(x, "user=someuser@example.com\x01" "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg\x01\x01");
    EXPECT_EQ(base64Encode(x),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
    // RFC 7628, section 4.1.
    const std::string b =
        oauthBearerMessage("user@example.com", "server.example.com", 143, "vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg==");
    EXPECT_EQ(base64Encode(b),
              "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVhcmVyIHZGOWRmdDRxbVRjMk52YjNS"
              "bGNrQmhkSFJoZG1semRHRXVZMjl0Q2c9PQEB");
    EXPECT_EQ(oauthBearerMessage("a,b=c", "h", 993, "t"), "n,a=a=2Cb=3Dc,\x01host=h\x01port=993\x01" "auth=Bearer t\x01\x01");
    EXPECT_EQ(oauthBearerMessage("", "h", 995, "t"), "n,,\x01host=h\x01port=995\x01" "auth=Bearer t\x01\x01");
}

TEST(SaslOAuth, RefusesBytesThatWouldBreakTheMessage) {
    for (const std::string& bad : {std::string("a\x01"), std::string("a\r"), std::string("a\n"), std::string("a\0b", 3)}) {
        EXPECT_EQ(xoauth2Message(bad, "token"), "");
        EXPECT_EQ(xoauth2Message("user", bad), "");
        EXPECT_EQ(oauthBearerMessage(bad, "h", 1, "token"), "");
        EXPECT_EQ(oauthBearerMessage("user", bad, 1, "token"), "");
        EXPECT_EQ(oauthBearerMessage("user", "h", 1, bad), "");
    }
    EXPECT_EQ(xoauth2Message("user", ""), "");
    EXPECT_EQ(oauthBearerMessage("user", "h", 1, ""), "");
}

TEST(SaslOAuth, FailureReplyAndChallengeStatus) {
    EXPECT_EQ(saslFailureReply(SaslMechanism::XOAuth2), "");
    EXPECT_EQ(saslFailureReply(SaslMechanism::OAuthBearer), "AQ==");
    EXPECT_EQ(base64Decode(saslFailureReply(SaslMechanism::OAuthBearer), 1), std::string("\x01"));
    EXPECT_EQ(saslChallengeStatus(base64Encode(R"({"status":"401","schemes":"bearer","scope":"mail"})")), "401");
    // RFC 7628, section 4.3.
    EXPECT_EQ(saslChallengeStatus("eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJleGFtcGxlX3Njb3BlIiwib3BlbmlkLWNvbmZpZ3VyYXRp"
                                  "b24iOiJodHRwczovL2V4YW1wbGUuY29tLy53ZWxsLWtub3duL29wZW5pZC1jb25maWd1cmF0aW9uIn0="),
              "invalid_token");
    EXPECT_EQ(saslChallengeStatus(base64Encode(R"({"status":400})")), "400");
    // Unreadable challenges give nothing rather than a guess.
    for (const std::string& bad : {std::string("not base64!"), base64Encode("status=401"), base64Encode(R"({"status":true})"),
                                  base64Encode(R"({"schemes":"bearer"})"), base64Encode(R"({"status":"1","status":"2"})"),
                                  base64Encode("{\"status\":\"" + std::string(5000, '4') + "\"}"), std::string()})
        EXPECT_EQ(saslChallengeStatus(bad), "") << bad;
    // What a hostile server puts in the status never breaks the log line.
    const std::string hostile = saslChallengeStatus(base64Encode("{\"status\":\"4\\r\\n01\\u0000\xC3\xA9" + std::string(100, 'x') + "\"}"));
    EXPECT_EQ(hostile, "401" + std::string(kSaslStatusMax - 3, 'x'));
}

}  // namespace
}  // namespace rvo
