#pragma once
// Access tokens kept in memory for the run, by key (a tenant, or a source
// user: see tokenCacheKey), so that many accounts and reconnects do not each
// ask the identity provider. A token is handed out only while it has more
// than the renewal margin to live, so a session never starts with a token
// that dies in its first minutes. Time is passed in, in seconds.
//
// Not thread-safe: the shell that shares one cache between sessions holds a
// lock around every call.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace rvo {

class TokenCache {
public:
    explicit TokenCache(std::int64_t renewMarginSeconds = 300) : margin_(renewMarginSeconds) {}

    // The token stored under `key` while now < obtained + expiresIn - margin.
    std::optional<std::string> find(const std::string& key, std::int64_t now) const;

    // Keeps the token (replacing any older one) obtained at `now`.
    void store(const std::string& key, std::string token, std::int64_t expiresIn, std::int64_t now);

    // Forgets the token: the server said it has expired, whatever its
    // expires_in promised.
    void drop(const std::string& key);

private:
    struct Entry {
        std::string token;
        std::int64_t renewAt = 0;  // the first second the token is no longer handed out
    };
    std::int64_t margin_;
    std::map<std::string, Entry> entries_;
};

}  // namespace rvo
