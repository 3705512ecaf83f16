// Base64, the JSON reader and writer, the SASL messages and the JWT: the
// byte-exact texts that go to servers and identity providers.
#include <gtest/gtest.h>

#include <string>

#include "engine/core/auth/base64.h"

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

}  // namespace
}  // namespace rvo
