#include "engine/core/auth/service_account_key.h"

#include "engine/core/auth/json_reader.h"

namespace rvo {
namespace {

ServiceAccountKeyResult failed(ServiceAccountKeyError error, std::string reason) {
    ServiceAccountKeyResult r;
    r.error = error;
    r.reason = std::move(reason);
    return r;
}

}  // namespace

ServiceAccountKeyResult readServiceAccountKey(std::string_view text, std::size_t maxBytes) {
    if (text.size() > maxBytes)
        return failed(ServiceAccountKeyError::TooLarge,
                      "the key file is larger than " + std::to_string(maxBytes) + " bytes");
    const JsonLimits limits{.maxBytes = maxBytes, .maxDepth = 8, .maxMembers = 64, .maxStringBytes = maxBytes};
    const JsonResult json = readJsonObject(text, limits);
    if (!json.ok()) return failed(ServiceAccountKeyError::NotJson, "the key file is not valid: " + json.reason);
    if (const JsonValue* type = json.object.find("type");
        type != nullptr && (type->kind != JsonKind::String || type->text != "service_account"))
        return failed(ServiceAccountKeyError::WrongType, "the key file's \"type\" is not \"service_account\"");
    ServiceAccountKeyResult r;
    for (const auto& [name, field] : {std::pair<const char*, std::string*>{"client_email", &r.key.clientEmail},
                                      {"private_key", &r.key.privateKeyPem},
                                      {"token_uri", &r.key.tokenUri}}) {
        std::optional<std::string> value = json.object.string(name);
        if (!value || value->empty())
            return failed(ServiceAccountKeyError::MissingMember,
                          std::string("the key file has no \"") + name + "\" text");
        *field = std::move(*value);
    }
    r.error = ServiceAccountKeyError::None;
    return r;
}

}  // namespace rvo
