#include "engine/win32/net/tls_channel.h"

#include <algorithm>
#include <cwchar>

#include "engine/core/net/tls_records.h"
#include "engine/core/text/format.h"

namespace rvo {

namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
// tlsVersionFromProtocol reads these bits by number.
static_assert(SP_PROT_TLS1_0_CLIENT == 0x80 && SP_PROT_TLS1_1_CLIENT == 0x200 && SP_PROT_TLS1_2_CLIENT == 0x800 &&
              SP_PROT_TLS1_3_CLIENT == 0x2000 && SP_PROT_TLS1_0_SERVER == 0x40);
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
// Handshake messages one round may hold: a certificate chain can be long,
// but not endless.
constexpr std::size_t kMaxHandshakeBytes = 256 * 1024;

char* packageName() { return const_cast<char*>(UNISP_NAME_A); }

// Newer systems know TLS 1.3 only through SCH_CREDENTIALS; older ones
// (and Wine) only SCHANNEL_CRED, with or without TLS 1.3.
SECURITY_STATUS acquire(CredentialsHandle& handle) {
    TimeStamp expiry;
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = ~kProtocols;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kCredentialFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, packageName(), SECPKG_CRED_OUTBOUND, nullptr, &modern,
                                                       nullptr, nullptr, handle.fill(), &expiry);
    if (status == SEC_E_OK) return status;
    for (const DWORD protocols : {kProtocols, static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.grbitEnabledProtocols = protocols;
        older.dwFlags = kCredentialFlags;
        status = AcquireCredentialsHandleA(nullptr, packageName(), SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr,
                                           nullptr, handle.fill(), &expiry);
        if (status == SEC_E_OK) return status;
    }
    handle.reset();
    return status;
}

std::string narrow(const WCHAR* text, std::size_t capacity) {
    char out[256] = {};
    const int length = static_cast<int>(wcsnlen(text, capacity));
    if (length > 0) WideCharToMultiByte(CP_ACP, 0, text, length, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

void appendToken(const SecBuffer& buffer, std::string& out) {
    if (buffer.pvBuffer && buffer.cbBuffer > 0) out.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
}

}  // namespace

TlsChannel::TlsChannel(std::string host) : host_(std::move(host)) {}

TlsChannel::Result TlsChannel::fail(const char* what, long status) {
    why_ = formatBounded("%s (SSPI status 0x%08lx)", what, static_cast<unsigned long>(status));
    return Result::Failed;
}

TlsChannel::Result TlsChannel::checkInput() {
    switch (checkTlsRecords(input_)) {
        case TlsRecordCheck::Fine:
            return Result::Pending;
        case TlsRecordCheck::NotTls:
            why_ = "the server sent bytes that are not TLS records";
            return Result::Failed;
        case TlsRecordCheck::TooLong:
            why_ = formatBounded("the server announced a TLS record longer than %u bytes",
                                 static_cast<unsigned>(kMaxTlsRecordBodyBytes));
            return Result::Failed;
    }
    return Result::Failed;
}

TlsChannel::Result TlsChannel::begin(std::string& out) {
    if (const SECURITY_STATUS status = acquire(credentials_); status != SEC_E_OK)
        return fail("The system offers no TLS 1.2 or 1.3 client credentials", status);
    SecBuffer output[] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, output};
    DWORD flags = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status =
        InitializeSecurityContextA(credentials_.get(), nullptr, host_.data(), kContextFlags, 0, 0, nullptr, 0,
                                   context_.fill(), &outputDesc, &flags, &expiry);
    const SspiBuffer token(output[0].pvBuffer);
    contextMade_ = context_.valid();
    if (status != SEC_I_CONTINUE_NEEDED) return fail("The TLS handshake could not be started", status);
    appendToken(output[0], out);
    return Result::Pending;
}

TlsChannel::Result TlsChannel::handshake(std::string_view received, std::string& out) {
    input_.append(received);
    if (input_.size() > kMaxHandshakeBytes) {
        why_ = "the server's handshake messages are larger than 256 KB";
        return Result::Failed;
    }
    if (checkInput() == Result::Failed) return Result::Failed;
    return step(out);
}

TlsChannel::Result TlsChannel::step(std::string& out) {
    while (!input_.empty()) {
        SecBuffer input[] = {{static_cast<unsigned long>(input_.size()), SECBUFFER_TOKEN, input_.data()},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
        SecBuffer output[] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc outputDesc{SECBUFFER_VERSION, 2, output};
        DWORD flags = 0;
        TimeStamp expiry;
        const SECURITY_STATUS status =
            InitializeSecurityContextA(credentials_.get(), context_.get(), host_.data(), kContextFlags, 0, 0,
                                       &inputDesc, 0, nullptr, &outputDesc, &flags, &expiry);
        const SspiBuffer token(output[0].pvBuffer);
        const SspiBuffer alert(output[1].pvBuffer);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return Result::Pending;
        // A failure may come with an alert for the server: it is sent, then the connection dropped.
        appendToken(output[0], out);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS) {
            why_ = handshakeStatusWords(static_cast<std::uint32_t>(status));
            return Result::Failed;
        }
        if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0 && input[1].cbBuffer <= input_.size())
            input_.erase(0, input_.size() - input[1].cbBuffer);
        else
            input_.clear();
        if (status == SEC_E_OK) {
            const SECURITY_STATUS sized = QueryContextAttributesA(context_.get(), SECPKG_ATTR_STREAM_SIZES, &sizes_);
            if (sized != SEC_E_OK || sizes_.cbMaximumMessage == 0)
                return fail("The TLS record sizes are not known", sized);
            renegotiated_ = up_;
            up_ = true;
            renegotiating_ = false;
            return Result::Done;
        }
        // SEC_I_INCOMPLETE_CREDENTIALS: the server asked for a client
        // certificate; there is none, and the handshake goes on without.
    }
    return Result::Pending;
}

TlsChannel::Result TlsChannel::read(std::string_view received, std::string& plain, std::string& out) {
    input_.append(received);
    if (checkInput() == Result::Failed) return Result::Failed;
    if (renegotiating_) {
        const Result r = step(out);
        if (r != Result::Done) return r;
    }
    while (!input_.empty()) {
        // The header is overwritten by the decryption in place.
        const std::string header = input_.substr(0, kTlsRecordHeaderBytes);
        SecBuffer buffers[] = {{static_cast<unsigned long>(input_.size()), SECBUFFER_DATA, input_.data()},
                               {0, SECBUFFER_EMPTY, nullptr},
                               {0, SECBUFFER_EMPTY, nullptr},
                               {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(context_.get(), &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return Result::Pending;
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED)
            return fail("A TLS record from the server could not be decrypted (an alert, or damaged data)", status);
        // The data and the bytes after the record live inside input_: take
        // the data first, then keep what follows.
        std::string extra;
        std::size_t data = 0;
        for (const SecBuffer& b : buffers) {
            if (b.BufferType == SECBUFFER_DATA && status == SEC_E_OK) {
                appendToken(b, plain);
                if (b.pvBuffer) data += b.cbBuffer;
            }
            if (b.BufferType == SECBUFFER_EXTRA && b.pvBuffer && b.cbBuffer > 0)
                extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        }
        input_ = std::move(extra);
        // Wine hands the server's close_notify over as a record without
        // data; Windows says SEC_I_CONTEXT_EXPIRED.
        if (status == SEC_E_OK && data == 0 && emptyRecordIsAlert(header, version() == TlsVersion::Tls13))
            status = SEC_I_CONTEXT_EXPIRED;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            input_.clear();
            return Result::Closed;
        }
        if (status == SEC_I_RENEGOTIATE) {
            // The extra bytes are the handshake message; the context answers
            // it, and records after it are read once it is done.
            renegotiating_ = true;
            const Result r = step(out);
            if (r != Result::Done) return r;
        }
    }
    return Result::Pending;
}

bool TlsChannel::write(std::string_view plain, std::string& out) {
    if (!up_) {
        why_ = "nothing is sent before the encrypted channel is up";
        return false;
    }
    std::string record;
    while (!plain.empty()) {
        const std::size_t n = std::min<std::size_t>(plain.size(), sizes_.cbMaximumMessage);
        record.assign(sizes_.cbHeader + n + sizes_.cbTrailer, '\0');
        std::copy(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(n), record.begin() + sizes_.cbHeader);
        SecBuffer buffers[] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                               {static_cast<unsigned long>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
                               {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
                               {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        if (const SECURITY_STATUS status = EncryptMessage(context_.get(), 0, &desc, 0); status != SEC_E_OK) {
            fail("A TLS record could not be made", status);
            return false;
        }
        out.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        plain.remove_prefix(n);
    }
    return true;
}

std::string TlsChannel::close() {
    std::string out;
    if (!up_) return out;
    up_ = false;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control[] = {{sizeof type, SECBUFFER_TOKEN, &type}};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, control};
    if (ApplyControlToken(context_.get(), &controlDesc) != SEC_E_OK) return out;
    SecBuffer output[] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, output};
    DWORD flags = 0;
    TimeStamp expiry;
    const SECURITY_STATUS status =
        InitializeSecurityContextA(credentials_.get(), context_.get(), host_.data(), kContextFlags, 0, 0, nullptr, 0,
                                   nullptr, &outputDesc, &flags, &expiry);
    const SspiBuffer token(output[0].pvBuffer);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) appendToken(output[0], out);
    return out;
}

CertificateContext TlsChannel::serverCertificate() {
    PCCERT_CONTEXT certificate = nullptr;
    if (!contextMade_ ||
        QueryContextAttributesA(context_.get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK)
        return CertificateContext();
    return CertificateContext(certificate);
}

TlsVersion TlsChannel::version() {
    if (version_ != TlsVersion::Unknown || !up_) return version_;
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesA(context_.get(), SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK)
        version_ = tlsVersionFromProtocol(info.dwProtocol);
    return version_;
}

std::string TlsChannel::description() {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesA(context_.get(), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
        return "TLS (protocol and cipher not known)";
    TlsCipherFacts facts;
    facts.version = tlsVersionFromProtocol(info.dwProtocol);
    facts.cipherBits = info.dwCipherStrength;
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesA(context_.get(), SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK) {
        // Wine fills in the names but leaves the suite number 0.
        facts.suiteNumber = cipher.dwCipherSuite;
        facts.suiteName = narrow(cipher.szCipherSuite, SZ_ALG_MAX_SIZE);
        facts.cipher = narrow(cipher.szCipher, SZ_ALG_MAX_SIZE);
        if (cipher.dwCipherLen != 0) facts.cipherBits = cipher.dwCipherLen;
        facts.hash = narrow(cipher.szHash, SZ_ALG_MAX_SIZE);
        facts.exchange = narrow(cipher.szExchange, SZ_ALG_MAX_SIZE);
        facts.certificate = narrow(cipher.szCertificate, SZ_ALG_MAX_SIZE);
    } else {
        facts.cipher = formatBounded("algorithm 0x%04x", static_cast<unsigned>(info.aiCipher));
        facts.hash = formatBounded("algorithm 0x%04x", static_cast<unsigned>(info.aiHash));
        facts.exchange = formatBounded("algorithm 0x%04x", static_cast<unsigned>(info.aiExch));
    }
    return std::string(tlsVersionName(facts.version)) + ", " + describeCipher(facts);
}

}  // namespace rvo
