#include "engine/core/auth/sasl_oauth.h"

#include "engine/core/auth/base64.h"
#include "engine/core/auth/json_reader.h"

namespace rvo {
namespace {

// Bytes that would end a SASL field (\x01) or the command line early.
bool breaksSasl(std::string_view text) {
    return text.find_first_of(std::string_view("\x01\r\n\0", 4)) != std::string_view::npos;
}

// A challenge is a small object; anything larger is not one we read.
constexpr std::size_t kChallengeMaxBytes = 4096;

}  // namespace

std::string_view saslMechanismName(SaslMechanism mechanism) {
    return mechanism == SaslMechanism::OAuthBearer ? "OAUTHBEARER" : "XOAUTH2";
}

std::string xoauth2Message(std::string_view user, std::string_view token) {
    if (token.empty() || breaksSasl(user) || breaksSasl(token)) return {};
    std::string out = "user=";
    out += user;
    out += "\x01" "auth=Bearer ";
    out += token;
    out += "\x01\x01";
    return out;
}

std::string oauthBearerMessage(std::string_view user, std::string_view host, unsigned port, std::string_view token) {
    if (token.empty() || breaksSasl(user) || breaksSasl(host) || breaksSasl(token)) return {};
    std::string out = "n,";
    if (!user.empty()) {
        out += "a=";
        for (const char c : user) {
            if (c == ',') out += "=2C";
            else if (c == '=') out += "=3D";
            else out += c;
        }
    }
    out += ",\x01" "host=";
    out += host;
    out += "\x01" "port=";
    out += std::to_string(port);
    out += "\x01" "auth=Bearer ";
    out += token;
    out += "\x01\x01";
    return out;
}

std::string_view saslFailureReply(SaslMechanism mechanism) {
    return mechanism == SaslMechanism::OAuthBearer ? "AQ==" : "";
}

std::string saslChallengeStatus(std::string_view base64Challenge) {
    const std::optional<std::string> json = base64Decode(base64Challenge, kChallengeMaxBytes);
    if (!json) return {};
    const JsonLimits limits{.maxBytes = kChallengeMaxBytes, .maxDepth = 4, .maxMembers = 32, .maxStringBytes = 1024};
    const JsonResult read = readJsonObject(*json, limits);
    if (!read.ok()) return {};
    const JsonValue* status = read.object.find("status");
    if (status == nullptr || (status->kind != JsonKind::String && status->kind != JsonKind::Number)) return {};
    std::string out;
    for (const char c : status->text) {
        if (out.size() == kSaslStatusMax) break;
        if (c >= 0x20 && c <= 0x7E) out += c;
    }
    return out;
}

}  // namespace rvo
