#pragma once
// The words the TLS log lines use for what the system's TLS implementation
// reports in numbers: the negotiated protocol version and whether it is
// good enough, the error bits of a certificate chain, the status of a
// failed handshake, and the cipher suite. The numbers are the platform's
// (SP_PROT_*, CERT_TRUST_*, SEC_E_*); they are written out here so that
// the wording is tested without the platform.
#include <cstdint>
#include <string>
#include <string_view>

namespace rvo {

enum class TlsVersion { Unknown, Ssl2, Ssl3, Tls10, Tls11, Tls12, Tls13 };

// From the SP_PROT_* bits of a negotiated connection (client or server bits).
TlsVersion tlsVersionFromProtocol(std::uint32_t protocolBits);
// "TLS 1.2"; "an unknown protocol version" for Unknown.
std::string_view tlsVersionName(TlsVersion version);
// TLS 1.2 and later; an unknown version is refused too.
bool tlsVersionAcceptable(TlsVersion version);

// Every error bit of a chain's trust status (CERT_TRUST_*) in words, joined
// with "; ". Bits without words are named by their number.
std::string chainErrorWords(std::uint32_t status);

// Why a handshake call failed, in words, with the SSPI status number.
std::string handshakeStatusWords(std::uint32_t status);

// What the system says of the negotiated cipher. `suiteNumber` 0 means the
// system did not say; the other texts may be empty.
struct TlsCipherFacts {
    TlsVersion version = TlsVersion::Unknown;
    std::uint32_t suiteNumber = 0;
    std::string suiteName;    // as the system names the suite
    std::string cipher;       // "AES", "CHACHA20"
    std::uint32_t cipherBits = 0;
    std::string hash;         // "SHA256", "SHA384"
    std::string exchange;     // "ECDHE", "DHE", "RSA"
    std::string certificate;  // "RSA", "ECDSA"
};

// The standard number of the suite the facts describe when they name
// exactly one (AES-GCM and ChaCha20 suites); 0 otherwise.
std::uint32_t cipherSuiteFromAlgorithms(const TlsCipherFacts& facts);

// The part of the "Encrypted connection:" line after the protocol:
// "cipher suite TLS_AES_256_GCM_SHA384 (0x1302)". A number is printed only
// when the system gave it or the algorithms name exactly one suite; else
// the algorithms are listed as the system named them.
std::string describeCipher(const TlsCipherFacts& facts);

}  // namespace rvo
