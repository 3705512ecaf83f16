#include "engine/win32/net/server_certificate.h"

#include <iterator>
#include <vector>

#include "engine/core/net/tls_records.h"
#include "engine/core/net/tls_text.h"
#include "engine/core/text/format.h"
#include "engine/win32/platform/small_file.h"

namespace rvo {

namespace {

constexpr std::size_t kMaxRootsFileBytes = 1024 * 1024;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// fdwChecks of the SSL policy (declared with WinINet, whose values they are).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreCommonName = 0x00001000;

// Chain errors that say nothing about trust here: revocation is not asked
// for, and nesting of validity periods is no longer a requirement.
constexpr DWORD kIgnoredChainErrors = CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                      CERT_TRUST_IS_OFFLINE_REVOCATION;

// The words of chainErrorWords are written against these numbers.
static_assert(CERT_TRUST_INVALID_BASIC_CONSTRAINTS == 0x00000400 && CERT_TRUST_IS_PARTIAL_CHAIN == 0x00010000 &&
              CERT_TRUST_HAS_WEAK_SIGNATURE == 0x00100000 && CERT_TRUST_IS_EXPLICIT_DISTRUST == 0x04000000);

std::string subjectOf(PCCERT_CONTEXT certificate) {
    char name[256] = {};
    CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
    return name;
}

std::wstring widen(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

// The certificate lists `address` among its IP entries.
bool namesAddress(PCCERT_CONTEXT certificate, const std::array<std::uint8_t, 4>& address) {
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(kEncoding, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
                std::equal(address.begin(), address.end(), entry.IPAddress.pbData);
    }
    LocalFree(names);
    return found;
}

std::string policyFailure(DWORD error, const std::string& host) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return "name mismatch: the certificate does not name " + host;
        case static_cast<DWORD>(CERT_E_EXPIRED):
            return "expired: the certificate is outside its validity dates";
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
            return "untrusted root: the certificate does not chain to a trusted root";
        case static_cast<DWORD>(CERT_E_WRONG_USAGE):
            return "the certificate is not meant for a server";
        case static_cast<DWORD>(CRYPT_E_REVOKED):
            return "the certificate is revoked";
        default:
            return formatBounded("the certificate was refused (policy error 0x%08lx)", static_cast<unsigned long>(error));
    }
}

}  // namespace

TrustedRoots::TrustedRoots()
    : store_(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr)) {}

bool TrustedRoots::load(const std::string& path, std::string& error) {
    std::string text;
    const SmallFileRead read = readSmallFile(path, kMaxRootsFileBytes, text);
    if (read == SmallFileRead::CannotRead) {
        error = "CA_FILE " + path + " cannot be read";
        return false;
    }
    if (read == SmallFileRead::TooLarge) {
        error = "CA_FILE " + path + " is larger than 1 MB";
        return false;
    }
    if (!store_) {
        error = "no certificate store could be made for CA_FILE";
        return false;
    }
    for (const std::string_view block : pemCertificateBlocks(text)) {
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr) ||
            size == 0)
            continue;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  der.data(), &size, nullptr, nullptr))
            continue;
        const CertificateContext certificate(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size));
        if (!certificate) continue;
        if (CertAddCertificateContextToStore(store_.get(), certificate.get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                             nullptr))
            ++count_;
    }
    if (count_ == 0) {
        error = "CA_FILE " + path + " holds no certificate";
        return false;
    }
    return true;
}

bool TrustedRoots::holds(PCCERT_CONTEXT certificate) const {
    if (!store_ || !certificate) return false;
    PCCERT_CONTEXT found = nullptr;
    while ((found = CertEnumCertificatesInStore(store_.get(), found)) != nullptr) {
        if (found->cbCertEncoded == certificate->cbCertEncoded &&
            std::equal(found->pbCertEncoded, found->pbCertEncoded + found->cbCertEncoded,
                       certificate->pbCertEncoded)) {
            CertFreeCertificateContext(found);
            return true;
        }
    }
    return false;
}

std::string verifyServerCertificate(PCCERT_CONTEXT certificate, const std::string& host, const TrustedRoots& roots) {
    // What the chain may be built from besides the system's stores: the
    // intermediates the server sent, and the further roots.
    const CertificateStore extra(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!extra) return "no certificate store could be made for the check";
    for (HCERTSTORE source : {certificate->hCertStore, roots.store()}) {
        if (!source) continue;
        PCCERT_CONTEXT c = nullptr;
        while ((c = CertEnumCertificatesInStore(source, c)) != nullptr)
            CertAddCertificateContextToStore(extra.get(), c, CERT_STORE_ADD_USE_EXISTING, nullptr);
    }

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chainContext = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, extra.get(), &para, 0, nullptr, &chainContext))
        return formatBounded("the certificate chain could not be built (error %lu)", GetLastError());
    const CertificateChain chain(chainContext);

    DWORD status = chain.get()->TrustStatus.dwErrorStatus & ~kIgnoredChainErrors;
    bool ownRoot = false;
    if ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) && chain.get()->cChain > 0) {
        const CERT_SIMPLE_CHAIN* simple = chain.get()->rgpChain[0];
        if (simple->cElement > 0 && roots.holds(simple->rgpElement[simple->cElement - 1]->pCertContext)) {
            ownRoot = true;
            status &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
        }
    }
    const std::string subject = subjectOf(certificate);
    if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
        return "untrusted root: the certificate of " + subject +
               " does not chain to a root the system or CA_FILE trusts";
    if (status & CERT_TRUST_IS_NOT_TIME_VALID)
        return "expired: the certificate of " + subject + " (or one above it) is outside its validity dates";
    if (status & CERT_TRUST_IS_REVOKED) return "the certificate of " + subject + " is revoked";
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "the certificate of " + subject + " is not meant for a server";
    if (status != 0) return "the certificate chain of " + subject + " is not valid: " + chainErrorWords(status);

    // An address is matched here against the IP entries; the policy then
    // checks everything but the name.
    const std::optional<std::array<std::uint8_t, 4>> address = ipv4Address(host);
    if (address && !namesAddress(certificate, *address))
        return "name mismatch: the certificate of " + subject + " does not name the address " + host;

    std::wstring serverName = widen(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = (ownRoot ? kIgnoreUnknownCa : 0) | (address ? kIgnoreCommonName : 0);
    ssl.pwszServerName = serverName.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = ownRoot ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &result))
        return formatBounded("the certificate could not be checked (error %lu)", GetLastError());
    if (result.dwError != 0) {
        std::string why = policyFailure(result.dwError, host);
        return why;
    }
    return {};
}

}  // namespace rvo
