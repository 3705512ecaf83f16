#include "engine/core/net/tls_text.h"

#include <array>
#include <utility>

#include "engine/core/text/format.h"

namespace rvo {

namespace {

// SP_PROT_* of schannel.h: each version has a server and a client bit.
struct ProtocolBits {
    std::uint32_t bits;
    TlsVersion version;
};
// Lowest first: a report naming more than one version is judged by the lowest.
constexpr std::array<ProtocolBits, 6> kProtocols{{
    {0x00000004 | 0x00000008, TlsVersion::Ssl2},
    {0x00000010 | 0x00000020, TlsVersion::Ssl3},
    {0x00000040 | 0x00000080, TlsVersion::Tls10},
    {0x00000100 | 0x00000200, TlsVersion::Tls11},
    {0x00000400 | 0x00000800, TlsVersion::Tls12},
    {0x00001000 | 0x00002000, TlsVersion::Tls13},
}};

// CERT_TRUST_* error bits of wincrypt.h.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 24> kChainErrors{{
    {0x00000001, "a certificate is outside its validity dates (CERT_TRUST_IS_NOT_TIME_VALID)"},
    {0x00000002, "the validity dates of the chain are not nested (CERT_TRUST_IS_NOT_TIME_NESTED)"},
    {0x00000004, "a certificate is revoked (CERT_TRUST_IS_REVOKED)"},
    {0x00000008, "a signature in the chain does not verify (CERT_TRUST_IS_NOT_SIGNATURE_VALID)"},
    {0x00000010, "a certificate is not meant for a server (CERT_TRUST_IS_NOT_VALID_FOR_USAGE)"},
    {0x00000020, "the chain ends in a root that is not trusted (CERT_TRUST_IS_UNTRUSTED_ROOT)"},
    {0x00000040, "whether a certificate is revoked is not known (CERT_TRUST_REVOCATION_STATUS_UNKNOWN)"},
    {0x00000080, "the chain leads in a circle (CERT_TRUST_IS_CYCLIC)"},
    {0x00000100, "a certificate has an extension that is not valid (CERT_TRUST_INVALID_EXTENSION)"},
    {0x00000200, "a certificate breaks a policy constraint (CERT_TRUST_INVALID_POLICY_CONSTRAINTS)"},
    {0x00000400,
     "a certificate that signs another is not marked as a certificate authority, or the chain is longer than "
     "its basic constraints allow (CERT_TRUST_INVALID_BASIC_CONSTRAINTS)"},
    {0x00000800, "a certificate breaks a name constraint (CERT_TRUST_INVALID_NAME_CONSTRAINTS)"},
    {0x00001000, "a name constraint is of a kind that is not supported (CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT)"},
    {0x00002000, "a name constraint is not defined (CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT)"},
    {0x00004000, "a name is not permitted by a name constraint (CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT)"},
    {0x00008000, "a name is excluded by a name constraint (CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT)"},
    {0x00010000, "the chain does not reach a trusted root (incomplete chain, CERT_TRUST_IS_PARTIAL_CHAIN)"},
    {0x00020000, "a trust list is outside its validity dates (CERT_TRUST_CTL_IS_NOT_TIME_VALID)"},
    {0x00040000, "the signature of a trust list does not verify (CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID)"},
    {0x00080000, "a trust list is not meant for this use (CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE)"},
    {0x00100000, "a certificate is signed with a weak algorithm (CERT_TRUST_HAS_WEAK_SIGNATURE)"},
    {0x01000000, "the revocation server could not be reached (CERT_TRUST_IS_OFFLINE_REVOCATION)"},
    {0x04000000, "a certificate is explicitly distrusted (CERT_TRUST_IS_EXPLICIT_DISTRUST)"},
    {0x08000000,
     "a certificate has a critical extension that is not supported (CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT)"},
}};

// SEC_E_* of winerror.h that a TLS handshake ends with.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 12> kHandshakeStatuses{{
    {0x80090301, "the TLS context is not valid (SEC_E_INVALID_HANDLE)"},
    {0x80090302, "the system does not support what was asked (SEC_E_UNSUPPORTED_FUNCTION)"},
    {0x80090304,
     "the system's TLS implementation gave up (SEC_E_INTERNAL_ERROR); often the server offers no protocol "
     "version or cipher the system can use, or sent an alert"},
    {0x80090308, "the server's handshake message could not be read (SEC_E_INVALID_TOKEN)"},
    {0x8009030E, "the system has no credentials for the handshake (SEC_E_NO_CREDENTIALS)"},
    {0x8009030F, "a handshake message was altered on the way (SEC_E_MESSAGE_ALTERED)"},
    {0x80090322, "the server's name is not the one asked for (SEC_E_WRONG_PRINCIPAL)"},
    {0x80090326, "the server sent an alert or a message the system does not accept (SEC_E_ILLEGAL_MESSAGE)"},
    {0x80090327, "the server's certificate could not be used (SEC_E_CERT_UNKNOWN)"},
    {0x80090330, "a handshake message could not be decrypted (SEC_E_DECRYPT_FAILURE)"},
    {0x80090331,
     "the server and the system have no protocol version or cipher in common (SEC_E_ALGORITHM_MISMATCH)"},
    {0x80090349, "the server's certificate was refused by the system (SEC_E_CERT_WRONG_USAGE)"},
}};

struct KnownSuite {
    std::uint32_t number;
    std::string_view name;
};
constexpr std::array<KnownSuite, 11> kKnownSuites{{
    {0x1301, "TLS_AES_128_GCM_SHA256"},
    {0x1302, "TLS_AES_256_GCM_SHA384"},
    {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
    {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0xCCA8, "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCA9, "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0x009E, "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009F, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"},
}};

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::string_view knownSuiteName(std::uint32_t number) {
    for (const KnownSuite& s : kKnownSuites)
        if (s.number == number) return s.name;
    return {};
}

// A name as the system gave it, unless it holds a part the system could
// not name (one with "<unknown>" says less than the algorithms do).
bool usableName(std::string_view name) { return !name.empty() && !contains(name, "<") && !contains(name, ">"); }

}  // namespace

TlsVersion tlsVersionFromProtocol(std::uint32_t protocolBits) {
    for (const ProtocolBits& p : kProtocols)
        if (protocolBits & p.bits) return p.version;
    return TlsVersion::Unknown;
}

std::string_view tlsVersionName(TlsVersion version) {
    switch (version) {
        case TlsVersion::Ssl2: return "SSL 2.0";
        case TlsVersion::Ssl3: return "SSL 3.0";
        case TlsVersion::Tls10: return "TLS 1.0";
        case TlsVersion::Tls11: return "TLS 1.1";
        case TlsVersion::Tls12: return "TLS 1.2";
        case TlsVersion::Tls13: return "TLS 1.3";
        case TlsVersion::Unknown: break;
    }
    return "an unknown protocol version";
}

bool tlsVersionAcceptable(TlsVersion version) { return version == TlsVersion::Tls12 || version == TlsVersion::Tls13; }

std::string chainErrorWords(std::uint32_t status) {
    std::string words;
    std::uint32_t named = 0;
    for (const auto& [bit, text] : kChainErrors) {
        if (!(status & bit)) continue;
        named |= bit;
        if (!words.empty()) words += "; ";
        words += text;
    }
    if (const std::uint32_t rest = status & ~named; rest != 0) {
        if (!words.empty()) words += "; ";
        words += formatBounded("chain error bits 0x%08lx", static_cast<unsigned long>(rest));
    }
    return words;
}

std::string handshakeStatusWords(std::uint32_t status) {
    for (const auto& [code, text] : kHandshakeStatuses)
        if (code == status) return formatBounded("%.*s (SSPI status 0x%08lx)", static_cast<int>(text.size()),
                                                 text.data(), static_cast<unsigned long>(status));
    return formatBounded("SSPI status 0x%08lx", static_cast<unsigned long>(status));
}

std::uint32_t cipherSuiteFromAlgorithms(const TlsCipherFacts& f) {
    const bool aes = f.cipher == "AES";
    const bool chacha = contains(f.cipher, "CHACHA20") || contains(f.suiteName, "CHACHA20");
    // The mode of an AES cipher is only in the suite name the system made.
    const bool gcm = contains(f.suiteName, "GCM");
    // The hash of a GCM suite follows from the key size; a named one must agree.
    const bool sha256 = f.hash == "SHA256" || contains(f.suiteName, "SHA256");
    const bool sha384 = f.hash == "SHA384" || contains(f.suiteName, "SHA384");
    if (f.version == TlsVersion::Tls13) {
        // In TLS 1.3 the cipher and its key size name the suite.
        if (chacha) return 0x1303;
        if (aes && gcm && f.cipherBits == 128) return 0x1301;
        if (aes && gcm && f.cipherBits == 256) return 0x1302;
        return 0;
    }
    if (f.version != TlsVersion::Tls12) return 0;
    // Wine names ECDHE "ECDH"; static ECDH suites are not offered by its
    // TLS library (nor by current servers).
    const bool ecdhe = f.exchange == "ECDHE" || f.exchange == "ECDH";
    const bool dhe = f.exchange == "DHE" || f.exchange == "DH";
    const bool rsa = f.certificate == "RSA";
    const bool ecdsa = f.certificate == "ECDSA";
    if (chacha && ecdhe && rsa) return 0xCCA8;
    if (chacha && ecdhe && ecdsa) return 0xCCA9;
    if (!aes || !gcm) return 0;
    const bool small = f.cipherBits == 128 && !sha384;
    const bool large = f.cipherBits == 256 && !sha256;
    if (ecdhe && ecdsa) return small ? 0xC02B : large ? 0xC02C : 0;
    if (ecdhe && rsa) return small ? 0xC02F : large ? 0xC030 : 0;
    if (dhe && rsa) return small ? 0x009E : large ? 0x009F : 0;
    return 0;
}

std::string describeCipher(const TlsCipherFacts& f) {
    if (f.suiteNumber != 0) {
        std::string name(usableName(f.suiteName) ? std::string_view(f.suiteName) : knownSuiteName(f.suiteNumber));
        if (name.empty()) name = "without a name";
        return "cipher suite " + name + formatBounded(" (0x%04lx)", static_cast<unsigned long>(f.suiteNumber));
    }
    if (const std::uint32_t derived = cipherSuiteFromAlgorithms(f); derived != 0)
        return "cipher suite " + std::string(knownSuiteName(derived)) +
               formatBounded(" (0x%04lx)", static_cast<unsigned long>(derived));
    // No number: what the system named, without claiming a suite.
    std::string text = "cipher " + (f.cipher.empty() ? std::string("not named") : f.cipher);
    if (f.cipherBits != 0) text += formatBounded(" %lu bits", static_cast<unsigned long>(f.cipherBits));
    if (usableName(f.hash)) text += ", hash " + f.hash;
    if (usableName(f.exchange)) text += ", key exchange " + f.exchange;
    if (usableName(f.suiteName)) text += ", suite " + f.suiteName;
    return text + " (the system gave no suite number)";
}

}  // namespace rvo
