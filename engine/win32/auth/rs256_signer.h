#pragma once
// RS256 (RSASSA-PKCS1-v1_5 with SHA-256) through CryptoAPI, for the JWT a
// service account signs: the key comes as the DER bytes of a PKCS#1
// RSAPrivateKey (what is inside a PKCS#8 PEM), is held only by an ephemeral
// CryptoAPI container, and the signature comes back big-endian, as JWS wants.
//
// Every copy of the key this code makes is wiped before it is freed. No
// reason text holds key or message bytes.
//
// Errors: Rs256Error plus one sentence, with the system's error number.
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <string_view>

#include "engine/win32/platform/unique_handle.h"

namespace rvo {

enum class Rs256Error {
    Failed,    // anything not named below; a result is a failure until it says otherwise
    None,
    NotLoaded, // sign() before a key was loaded
    BadKey,    // the bytes are not a PKCS#1 RSA private key
    Provider,  // no CryptoAPI provider for RSA and SHA-256
    Import,    // the provider refused the key
    Sign,      // hashing or signing failed
};

struct Rs256Result {
    Rs256Error error = Rs256Error::Failed;
    std::string reason;
    std::string signature;  // the signature bytes, big-endian, as long as the modulus
    bool ok() const { return error == Rs256Error::None; }
};

namespace detail {
inline void releaseProvider(HCRYPTPROV p) { CryptReleaseContext(p, 0); }
inline void destroyKey(HCRYPTKEY k) { CryptDestroyKey(k); }
inline void destroyHash(HCRYPTHASH h) { CryptDestroyHash(h); }
}  // namespace detail

using CryptProvider = UniqueHandle<HCRYPTPROV, detail::releaseProvider>;
using CryptKey = UniqueHandle<HCRYPTKEY, detail::destroyKey>;
using CryptHash = UniqueHandle<HCRYPTHASH, detail::destroyHash>;

class Rs256Signer {
public:
    // Takes the key; on failure the signer holds none (a key loaded before is dropped).
    Rs256Result load(std::string_view pkcs1Der);
    bool loaded() const { return static_cast<bool>(key_); }
    Rs256Result sign(std::string_view message) const;

private:
    CryptProvider provider_;
    CryptKey key_;
    DWORD keySpec_ = AT_KEYEXCHANGE;
};

}  // namespace rvo
