#include "engine/win32/auth/token_provider.h"

#include <windows.h>

#include <ctime>
#include <utility>

#include "engine/core/auth/command_line.h"
#include "engine/core/auth/jwt.h"
#include "engine/core/auth/private_key.h"
#include "engine/win32/auth/rs256_signer.h"
#include "engine/win32/platform/small_file.h"

namespace rvo {

namespace {

constexpr const char* kFormType = "application/x-www-form-urlencoded";

// Seconds that only move forward: token lives are measured on this clock.
std::int64_t steadySeconds() { return static_cast<std::int64_t>(GetTickCount64() / 1000); }

// Wipes a copy of key material before it is freed.
void wipe(std::string& bytes) {
    if (!bytes.empty()) SecureZeroMemory(bytes.data(), bytes.size());
    bytes.clear();
}

}  // namespace

TokenProvider::TokenProvider(OAuthSettings settings, std::string caFile, TokenServiceValues values)
    : settings_(std::move(settings)),
      caFile_(std::move(caFile)),
      values_(values),
      cache_(values.renewMarginSeconds),
      command_(values.command) {}

std::optional<std::string> TokenProvider::token(const std::string& sourceUser, std::string& why) {
    const std::string key = tokenCacheKey(settings_, sourceUser);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<std::string> cached = cache_.find(key, steadySeconds())) return cached;
    const std::int64_t asked = steadySeconds();
    std::optional<Fetched> fetched = fetch(sourceUser, why);
    if (!fetched) return std::nullopt;
    // Its life counts from when it was asked for: the answer may have taken a while.
    cache_.store(key, fetched->token, fetched->expiresIn, asked);
    return std::move(fetched->token);
}

void TokenProvider::expired(const std::string& sourceUser) {
    const std::lock_guard<std::mutex> lock(mutex_);
    cache_.drop(tokenCacheKey(settings_, sourceUser));
}

std::optional<TokenProvider::Fetched> TokenProvider::fetch(const std::string& sourceUser, std::string& why) {
    switch (settings_.source) {
        case TokenSource::Microsoft:
            return fromIdentityProvider(settings_.tokenUrl,
                                        clientCredentialsBody(settings_.clientId, settings_.clientSecret,
                                                              settings_.scope),
                                        settings_.clientSecret, why);
        case TokenSource::Google: {
            std::string url;
            std::optional<std::string> assertion = serviceAccountAssertion(sourceUser, url, why);
            if (!assertion) return std::nullopt;
            return fromIdentityProvider(url, jwtBearerBody(*assertion), *assertion, why);
        }
        case TokenSource::Command:
            return fromCommand(sourceUser, why);
    }
    why = "The token source is not known";
    return std::nullopt;
}

const TrustedRoots* TokenProvider::roots(std::string& why) {
    if (caFile_.empty()) return nullptr;
    if (!roots_) {
        TrustedRoots loaded;
        if (!loaded.load(caFile_, why)) return nullptr;
        roots_.emplace(std::move(loaded));
    }
    return &*roots_;
}

std::optional<TokenProvider::Fetched> TokenProvider::fromIdentityProvider(const std::string& url,
                                                                           const std::string& body,
                                                                           const std::string& secret,
                                                                           std::string& why) {
    std::string problem;
    const std::optional<HttpUrl> target = parseTokenUrl(url, problem);
    if (!target) {
        why = "The token address cannot be used: " + problem;
        return std::nullopt;
    }
    const TrustedRoots* further = nullptr;
    if (target->secure && !caFile_.empty()) {
        further = roots(problem);
        if (!further) {
            why = "The token request was not sent: " + problem;
            return std::nullopt;
        }
    }
    const TokenHttpClient client(values_.http, further);
    const TokenHttpAnswer answer = client.post(target->secure, target->host, target->port, target->path, kFormType, body);
    if (!answer.ok()) {
        why = "The token request failed: " + answer.reason;
        return std::nullopt;
    }
    const TokenAnswer read = parseTokenAnswer(answer.status, answer.body, values_.answer);
    if (!read.ok()) {
        why = "The " + tokenFailureText(read, {secret, settings_.clientSecret});
        return std::nullopt;
    }
    return Fetched{read.accessToken, read.expiresInSeconds};
}

std::optional<std::string> TokenProvider::serviceAccountAssertion(const std::string& sourceUser, std::string& url,
                                                                  std::string& why) {
    const std::string& path = settings_.keyFile;
    std::string text;
    const SmallFileRead read = readSmallFile(path, values_.maxKeyFileBytes, text);
    if (read != SmallFileRead::Ok) {
        why = "No token was asked for: the key file " + path +
              (read == SmallFileRead::TooLarge
                   ? " is larger than " + std::to_string(values_.maxKeyFileBytes) + " bytes"
                   : std::string(" cannot be read"));
        return std::nullopt;
    }
    ServiceAccountKeyResult key = readServiceAccountKey(text, values_.maxKeyFileBytes);
    wipe(text);
    if (!key.ok()) {
        why = "No token was asked for: the key file " + path + " cannot be used: " + key.reason;
        return std::nullopt;
    }
    RsaKeyResult rsa = rsaPrivateKeyFromPem(key.key.privateKeyPem);
    wipe(key.key.privateKeyPem);
    if (!rsa.ok()) {
        why = "No token was asked for: the private key of " + path + " cannot be used: " + rsa.reason;
        return std::nullopt;
    }
    Rs256Signer signer;
    const Rs256Result loaded = signer.load(rsa.der);
    wipe(rsa.der);
    if (!loaded.ok()) {
        why = "No token was asked for: " + loaded.reason;
        return std::nullopt;
    }
    const std::string input = jwtSigningInput(serviceAccountClaims(key.key.clientEmail, sourceUser, settings_.scope,
                                                                   key.key.tokenUri,
                                                                   static_cast<std::int64_t>(std::time(nullptr))));
    const Rs256Result signature = signer.sign(input);
    if (!signature.ok()) {
        why = "No token was asked for: " + signature.reason;
        return std::nullopt;
    }
    url = settings_.tokenUrl.empty() ? key.key.tokenUri : settings_.tokenUrl;
    return jwtAssemble(input, signature.signature);
}

std::optional<TokenProvider::Fetched> TokenProvider::fromCommand(const std::string& sourceUser, std::string& why) {
    const std::optional<std::string> line = windowsCommandLine(settings_.tokenCommand, sourceUser);
    if (!line) {
        why = "The token command cannot be started for this user: the command or the user name holds a line break "
              "or a misplaced quote";
        return std::nullopt;
    }
    TokenCommandResult result = command_.run(*line);
    if (!result.ok()) {
        why = "The token command gave no token: " + result.reason;
        return std::nullopt;
    }
    // A command's token says nothing of its life: it serves the one session
    // it was asked for, and the next session runs the command again.
    return Fetched{std::move(result.token), 0};
}

}  // namespace rvo
