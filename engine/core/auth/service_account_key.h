#pragma once
// The JSON key file of a service account: who signs (client_email), with
// what (private_key, PKCS#8 PEM) and where the signed assertion goes
// (token_uri). Read from the file's text, bounded; the file's other members
// (project, key id, certificate URLs) are not needed and not kept.
//
// Errors are a ServiceAccountKeyError and a reason naming the member or the
// place; the reason never holds a byte of the key.
#include <cstddef>
#include <string>
#include <string_view>

namespace rvo {

// A key file is a few KB; this bounds a wrong file given by mistake.
inline constexpr std::size_t kServiceAccountKeyMaxBytes = 64 * 1024;

struct ServiceAccountKey {
    std::string clientEmail;
    std::string privateKeyPem;
    std::string tokenUri;
};

enum class ServiceAccountKeyError {
    None,
    TooLarge,       // more than maxBytes
    NotJson,        // not one JSON object
    MissingMember,  // client_email, private_key or token_uri missing, empty or not a string
    WrongType,      // "type" is there and is not "service_account"
};

struct ServiceAccountKeyResult {
    ServiceAccountKeyError error = ServiceAccountKeyError::NotJson;
    std::string reason;  // empty when error is None
    ServiceAccountKey key;
    bool ok() const { return error == ServiceAccountKeyError::None; }
};

ServiceAccountKeyResult readServiceAccountKey(std::string_view text,
                                              std::size_t maxBytes = kServiceAccountKeyMaxBytes);

}  // namespace rvo
