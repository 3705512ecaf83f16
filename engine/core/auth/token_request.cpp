#include "engine/core/auth/token_request.h"

#include "engine/core/auth/json_reader.h"
#include "engine/core/log/log_text.h"
#include "engine/core/text/ascii.h"
#include "engine/core/text/numbers.h"

namespace rvo {
namespace {

bool isAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool isHostChar(char c) { return isAlnum(c) || c == '-' || c == '.'; }

// Control characters become one blank, other bytes outside ASCII '?'; runs
// of blanks shrink to one, and the ends are trimmed.
std::string cleanProviderText(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        const char next = (c < 0x20 || c == 0x7F) ? ' ' : c >= 0x80 ? '?' : ch;
        if (next == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += next;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void maskAll(std::string& text, std::string_view secret) {
    if (secret.empty()) return;
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + kMaskedSecret.size()))
        text.replace(at, secret.size(), kMaskedSecret);
}

std::string cut(std::string text, std::size_t max) {
    if (text.size() > max) {
        text.resize(max);
        text += "...";
    }
    return text;
}

TokenAnswer failedAnswer(TokenAnswer answer, TokenFailure failure) {
    answer.failure = failure;
    answer.accessToken.clear();
    answer.expiresInSeconds = 0;
    return answer;
}

}  // namespace

std::string formEncode(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (isAlnum(ch) || ch == '*' || ch == '-' || ch == '.' || ch == '_') {
            out += ch;
        } else if (ch == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string clientCredentialsBody(std::string_view clientId, std::string_view clientSecret, std::string_view scope) {
    return "grant_type=client_credentials&client_id=" + formEncode(clientId) +
           "&client_secret=" + formEncode(clientSecret) + "&scope=" + formEncode(scope);
}

std::string jwtBearerBody(std::string_view assertion) {
    return "grant_type=urn:ietf:params:oauth:grant-type:jwt-bearer&assertion=" + formEncode(assertion);
}

std::optional<HttpUrl> parseTokenUrl(std::string_view url, std::string& why) {
    const auto refuse = [&](const char* text) -> std::optional<HttpUrl> {
        why = text;
        return std::nullopt;
    };
    if (url.empty()) return refuse("the token URL is empty");
    if (url.size() > kTokenUrlMaxBytes) return refuse("the token URL is longer than 2048 bytes");
    for (const char ch : url) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) return refuse("the token URL holds a blank, a control character or a non-ASCII byte");
    }
    if (url.find('#') != std::string_view::npos) return refuse("the token URL has a fragment ('#')");
    HttpUrl result;
    std::string_view rest;
    if (equalsIgnoringCase(url.substr(0, 8), "https://")) {
        result.secure = true;
        result.port = 443;
        rest = url.substr(8);
    } else if (equalsIgnoringCase(url.substr(0, 7), "http://")) {
        result.secure = false;
        result.port = 80;
        rest = url.substr(7);
    } else {
        return refuse("the token URL does not start with https://");
    }
    const std::size_t end = rest.find_first_of("/?");
    const std::string_view authority = rest.substr(0, end);
    // A query straight after the host still needs the root path before it.
    result.path.clear();
    if (end == std::string_view::npos || rest[end] == '?') result.path += '/';
    if (end != std::string_view::npos) result.path.append(rest.substr(end));
    if (authority.find('@') != std::string_view::npos) return refuse("the token URL holds a user name ('@')");
    const std::size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (host.empty()) return refuse("the token URL names no host");
    for (const char c : host)
        if (!isHostChar(c)) return refuse("the token URL's host is not a name or an IPv4 address");
    if (colon != std::string_view::npos) {
        const std::optional<std::uint32_t> port = parsePositiveNumber(authority.substr(colon + 1));
        if (!port || *port > 65535) return refuse("the token URL's port is not a number from 1 to 65535");
        result.port = *port;
    }
    result.host = host;
    if (!result.secure && !equalsIgnoringCase(host, "localhost") && host != "127.0.0.1")
        return refuse("the token URL uses plain http:// for a host other than 127.0.0.1 or localhost");
    why.clear();
    return result;
}

bool isValidTenant(std::string_view tenant) {
    if (tenant.empty() || tenant.size() > 256) return false;
    if (tenant.front() == '.' || tenant.back() == '.' || tenant.find("..") != std::string_view::npos) return false;
    for (const char c : tenant)
        if (!isHostChar(c)) return false;
    return true;
}

std::string microsoftTokenUrl(std::string_view tenant) {
    if (!isValidTenant(tenant)) return {};
    return "https://login.microsoftonline.com/" + std::string(tenant) + "/oauth2/v2.0/token";
}

TokenAnswer parseTokenAnswer(int httpStatus, std::string_view body, const TokenAnswerLimits& limits) {
    TokenAnswer answer;
    answer.httpStatus = httpStatus;
    const bool success = httpStatus >= 200 && httpStatus <= 299;
    const JsonLimits jsonLimits{.maxBytes = limits.maxBodyBytes,
                                .maxDepth = 8,
                                .maxMembers = 64,
                                // A long token is told apart below, as a token refused.
                                .maxStringBytes = limits.maxBodyBytes};
    const JsonResult json = readJsonObject(body, jsonLimits);
    if (json.ok()) {
        answer.error = json.object.string("error").value_or("");
        answer.errorDescription = json.object.string("error_description").value_or("");
    }
    if (!success) return failedAnswer(std::move(answer), TokenFailure::HttpStatus);
    if (!json.ok()) return failedAnswer(std::move(answer), TokenFailure::NotJson);
    const std::optional<std::string> token = json.object.string("access_token");
    if (!token) return failedAnswer(std::move(answer), TokenFailure::NoToken);
    if (token->empty() || token->size() > limits.maxTokenBytes) return failedAnswer(std::move(answer), TokenFailure::BadToken);
    for (const char c : *token)
        if (c < 0x21 || c > 0x7E) return failedAnswer(std::move(answer), TokenFailure::BadToken);
    std::int64_t expiresIn = limits.defaultExpiresInSeconds;
    if (const JsonValue* e = json.object.find("expires_in")) {
        std::optional<std::int64_t> value;
        if (e->kind == JsonKind::Number || e->kind == JsonKind::String) value = jsonNonNegativeInteger(e->text);
        if (!value) return failedAnswer(std::move(answer), TokenFailure::BadExpiresIn);
        expiresIn = *value;
    }
    if (expiresIn > limits.maxExpiresInSeconds) expiresIn = limits.maxExpiresInSeconds;
    answer.failure = TokenFailure::None;
    answer.accessToken = *token;
    answer.expiresInSeconds = expiresIn;
    return answer;
}

std::string tokenFailureText(const TokenAnswer& answer, std::initializer_list<std::string_view> secrets) {
    std::string text = "token request failed: HTTP " + std::to_string(answer.httpStatus);
    switch (answer.failure) {
        case TokenFailure::None: text = "token request succeeded"; break;
        case TokenFailure::HttpStatus: break;
        case TokenFailure::NotJson: text += ", the answer is not a JSON object"; break;
        case TokenFailure::NoToken: text += ", the answer holds no access_token"; break;
        case TokenFailure::BadToken: text += ", the access_token is empty, too long or holds bytes outside visible ASCII"; break;
        case TokenFailure::BadExpiresIn: text += ", expires_in is not a whole number of seconds"; break;
    }
    std::string error = cleanProviderText(answer.error);
    std::string description = cleanProviderText(answer.errorDescription);
    // Masked before the cut, so no part of a secret is left at the edge.
    for (const std::string_view secret : secrets) {
        maskAll(error, secret);
        maskAll(description, secret);
    }
    const bool hasError = !error.empty();
    if (hasError) text += ", " + cut(std::move(error), 100);
    if (!description.empty()) text += (hasError ? ": " : ", ") + cut(std::move(description), 400);
    return text;
}

}  // namespace rvo
