#include "engine/win32/auth/rs256_signer.h"

#include <algorithm>
#include <vector>

#include "engine/core/text/format.h"

namespace rvo {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// A key larger than this is no service account's key; 16384-bit RSA fits.
constexpr std::size_t kMaxKeyDerBytes = 16 * 1024;

Rs256Result failure(Rs256Error error, const char* what) {
    Rs256Result result;
    result.error = error;
    result.reason = formatBounded("%s (error 0x%08lx)", what, static_cast<unsigned long>(GetLastError()));
    return result;
}

// The decoded key blob: private key bytes, wiped before the memory goes back.
class WipedBytes {
public:
    explicit WipedBytes(std::size_t size) : bytes_(size) {}
    ~WipedBytes() {
        if (!bytes_.empty()) SecureZeroMemory(bytes_.data(), bytes_.size());
    }
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;
    BYTE* data() { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }

private:
    std::vector<BYTE> bytes_;
};

}  // namespace

Rs256Result Rs256Signer::load(std::string_view pkcs1Der) {
    key_.reset();
    provider_.reset();
    if (pkcs1Der.empty() || pkcs1Der.size() > kMaxKeyDerBytes) {
        Rs256Result result;
        result.error = Rs256Error::BadKey;
        result.reason = "the private key is empty or larger than 16 KB";
        return result;
    }
    const auto* der = reinterpret_cast<const BYTE*>(pkcs1Der.data());
    const auto derSize = static_cast<DWORD>(pkcs1Der.size());
    DWORD blobSize = 0;
    if (!CryptDecodeObjectEx(kEncoding, PKCS_RSA_PRIVATE_KEY, der, derSize, 0, nullptr, nullptr, &blobSize) ||
        blobSize < sizeof(BLOBHEADER))
        return failure(Rs256Error::BadKey, "the private key is not a PKCS#1 RSA private key");
    WipedBytes blob(blobSize);
    if (!CryptDecodeObjectEx(kEncoding, PKCS_RSA_PRIVATE_KEY, der, derSize, 0, nullptr, blob.data(), &blobSize))
        return failure(Rs256Error::BadKey, "the private key is not a PKCS#1 RSA private key");

    CryptProvider provider;
    if (!CryptAcquireContextA(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return failure(Rs256Error::Provider, "no CryptoAPI provider for RSA with SHA-256");
    CryptKey key;
    if (!CryptImportKey(provider.get(), blob.data(), blobSize, 0, 0, key.put()))
        return failure(Rs256Error::Import, "CryptoAPI refused the private key");
    // The blob says whether the key is one for signing or for key exchange;
    // CryptSignHash must name the same.
    keySpec_ = reinterpret_cast<const BLOBHEADER*>(blob.data())->aiKeyAlg == CALG_RSA_SIGN ? AT_SIGNATURE
                                                                                           : AT_KEYEXCHANGE;
    provider_ = std::move(provider);
    key_ = std::move(key);
    Rs256Result result;
    result.error = Rs256Error::None;
    return result;
}

Rs256Result Rs256Signer::sign(std::string_view message) const {
    if (!key_) {
        Rs256Result result;
        result.error = Rs256Error::NotLoaded;
        result.reason = "no private key was loaded";
        return result;
    }
    CryptHash hash;
    if (!CryptCreateHash(provider_.get(), CALG_SHA_256, 0, 0, hash.put()))
        return failure(Rs256Error::Sign, "CryptoAPI could not make a SHA-256 hash");
    // Large messages are hashed in pieces a DWORD can count.
    for (std::size_t done = 0; done < message.size();) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(message.size() - done, 1u << 30));
        if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(message.data()) + done, piece, 0))
            return failure(Rs256Error::Sign, "CryptoAPI could not hash the message");
        done += piece;
    }
    DWORD size = 0;
    if (!CryptSignHashA(hash.get(), keySpec_, nullptr, 0, nullptr, &size) || size == 0)
        return failure(Rs256Error::Sign, "CryptoAPI could not sign");
    std::string signature(size, '\0');
    if (!CryptSignHashA(hash.get(), keySpec_, nullptr, 0, reinterpret_cast<BYTE*>(signature.data()), &size))
        return failure(Rs256Error::Sign, "CryptoAPI could not sign");
    signature.resize(size);
    // CryptoAPI writes the signature little-endian; JWS wants it big-endian.
    std::reverse(signature.begin(), signature.end());
    Rs256Result result;
    result.error = Rs256Error::None;
    result.signature = std::move(signature);
    return result;
}

}  // namespace rvo
