#include "engine/core/auth/token_cache.h"

namespace rvo {
namespace {

// now + expiresIn - margin without wrapping: times near the ends of the
// range saturate.
std::int64_t saturatingRenewAt(std::int64_t now, std::int64_t expiresIn, std::int64_t margin) {
    std::int64_t life = 0;
    if (__builtin_sub_overflow(expiresIn, margin, &life)) life = expiresIn < 0 ? INT64_MIN : INT64_MAX;
    std::int64_t at = 0;
    if (__builtin_add_overflow(now, life, &at)) at = life < 0 ? INT64_MIN : INT64_MAX;
    return at;
}

}  // namespace

std::optional<std::string> TokenCache::find(const std::string& key, std::int64_t now) const {
    const auto it = entries_.find(key);
    if (it == entries_.end() || now >= it->second.renewAt) return std::nullopt;
    return it->second.token;
}

void TokenCache::store(const std::string& key, std::string token, std::int64_t expiresIn, std::int64_t now) {
    entries_[key] = Entry{std::move(token), saturatingRenewAt(now, expiresIn, margin_)};
}

void TokenCache::drop(const std::string& key) { entries_.erase(key); }

}  // namespace rvo
