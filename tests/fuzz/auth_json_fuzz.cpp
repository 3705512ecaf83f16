// What identity providers, key files and servers send as JSON: the reader
// keeps its bounds for any text, what it reads back is what jsonString
// wrote, and the texts made from it for the log stay printable and short.
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>

#include "engine/core/auth/base64.h"
#include "engine/core/auth/json_reader.h"
#include "engine/core/auth/sasl_oauth.h"
#include "engine/core/auth/service_account_key.h"
#include "engine/core/auth/token_request.h"

namespace {

void requireAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "auth_json_fuzz: invariant at line %d broken\n", line);
    __builtin_trap();
}
#define require(condition) requireAt((condition), __LINE__)

bool printable(std::string_view text) {
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks small limits, so every limit is reached.
    const rvo::JsonLimits limits{.maxBytes = 64 + (data[0] & 0x0F) * 256u,
                                 .maxDepth = 1u + (data[0] >> 4 & 0x07),
                                 .maxMembers = 1u + (data[0] & 0x07),
                                 .maxStringBytes = 1u + (data[0] >> 2) * 4u};
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const rvo::JsonResult r = rvo::readJsonObject(text, limits);
    if (r.ok()) {
        require(r.reason.empty());
        require(text.size() <= limits.maxBytes);
        require(r.object.members().size() <= limits.maxMembers);
        std::set<std::string> names;
        std::string rewritten = "{";
        for (const rvo::JsonMember& m : r.object.members()) {
            require(names.insert(m.name).second);
            require(m.name.size() <= limits.maxStringBytes && rvo::isValidUtf8(m.name));
            if (m.value.kind == rvo::JsonKind::String)
                require(m.value.text.size() <= limits.maxStringBytes && rvo::isValidUtf8(m.value.text));
            if (rewritten.size() > 1) rewritten += ',';
            rewritten += rvo::jsonString(m.name) + ":";
            rewritten += m.value.kind == rvo::JsonKind::String ? rvo::jsonString(m.value.text)
                         : m.value.kind == rvo::JsonKind::Object ? std::string("{}")
                         : m.value.kind == rvo::JsonKind::Array  ? std::string("[]")
                                                                 : m.value.text;
        }
        rewritten += "}";
        // Written again and read back, the same members come out.
        const rvo::JsonResult again = rvo::readJsonObject(rewritten, rvo::JsonLimits{.maxBytes = rewritten.size()});
        require(again.ok());
        require(again.object.members().size() == r.object.members().size());
        for (std::size_t i = 0; i < again.object.members().size(); ++i) {
            require(again.object.members()[i].name == r.object.members()[i].name);
            require(again.object.members()[i].value.kind == r.object.members()[i].value.kind);
            require(again.object.members()[i].value.text == r.object.members()[i].value.text);
        }
    } else {
        require(!r.reason.empty() && r.reason.size() < 120 && printable(r.reason));
        require(r.object.members().empty());
    }

    // Any bytes written as a JSON string read back as themselves when they are UTF-8.
    const std::string quoted = rvo::jsonString(text);
    const rvo::JsonResult wrapped = rvo::readJsonObject("{\"k\":" + quoted + "}", rvo::JsonLimits{.maxBytes = SIZE_MAX, .maxStringBytes = SIZE_MAX});
    require(wrapped.ok());
    if (rvo::isValidUtf8(text)) require(wrapped.object.string("k") == std::string(text));

    // The log's texts from a challenge or a token answer.
    const std::string status = rvo::saslChallengeStatus(rvo::base64Encode(text));
    require(status.size() <= rvo::kSaslStatusMax && printable(status));
    require(rvo::saslChallengeStatus(text).size() <= rvo::kSaslStatusMax);
    const rvo::TokenAnswerLimits answerLimits{.maxBodyBytes = 4096, .maxTokenBytes = 64};
    for (const int httpStatus : {200, 400}) {
        const rvo::TokenAnswer a = rvo::parseTokenAnswer(httpStatus, text, answerLimits);
        if (a.ok()) {
            require(!a.accessToken.empty() && a.accessToken.size() <= 64 && printable(a.accessToken));
            require(a.accessToken.find(' ') == std::string::npos);
            require(a.expiresInSeconds >= 0 && a.expiresInSeconds <= answerLimits.maxExpiresInSeconds);
        } else {
            require(a.accessToken.empty());
            const std::string line = rvo::tokenFailureText(a, {"secret"});
            require(printable(line) && line.size() < 600);
            require(line.find("secret") == std::string::npos);
        }
    }
    const rvo::ServiceAccountKeyResult key = rvo::readServiceAccountKey(text, 4096);
    if (key.ok())
        require(!key.key.clientEmail.empty() && !key.key.privateKeyPem.empty() && !key.key.tokenUri.empty());
    else
        require(!key.reason.empty() && printable(key.reason) && key.key.privateKeyPem.empty());
    return 0;
}
