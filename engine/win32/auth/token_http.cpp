#include "engine/win32/auth/token_http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

#include "engine/core/text/format.h"
#include "engine/win32/platform/unique_handle.h"

namespace rvo {

namespace {

void closeInternetHandle(HINTERNET h) { WinHttpCloseHandle(h); }
using InternetHandle = UniqueHandle<HINTERNET, closeInternetHandle>;

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

// Host, path and content type go into the request line and headers: a line
// break or a NUL there would let a value write headers of its own.
bool fitsInHeader(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) return false;
    }
    return i == a.size() && b[i] == '\0';
}

// Under synchronous WinHTTP the reason for a refused certificate comes only
// through this notification; it is kept for the error text.
void CALLBACK noteSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD infoLength) {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context && info && infoLength >= sizeof(DWORD))
        *reinterpret_cast<DWORD*>(context) |= *static_cast<const DWORD*>(info);
}

std::string certificateWords(DWORD flags, const std::string& host) {
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA)
        return "untrusted root: the certificate does not chain to a root the system or CA_FILE trusts";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID)
        return "name mismatch: the certificate does not name " + host;
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID)
        return "expired: the certificate is outside its validity dates";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) return "the certificate is revoked";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE) return "the certificate is not meant for a server";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) return "the certificate's revocation could not be checked";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT) return "the certificate is not valid";
    // Wine's WinHTTP says no more than this for a refused certificate too.
    return "the TLS handshake failed or the server's certificate was refused";
}

TokenHttpAnswer failure(TokenHttpError error, std::string reason) {
    TokenHttpAnswer answer;
    answer.error = error;
    answer.reason = std::move(reason);
    return answer;
}

// What a WinHTTP error code means here, as one error and one sentence.
TokenHttpAnswer winHttpFailure(DWORD code, DWORD secureFlags, const std::string& host, unsigned port,
                               const char* step) {
    const std::string where = formatBounded("%s:%u", host.c_str(), port);
    const std::string number = formatBounded(" (WinHTTP error %lu)", static_cast<unsigned long>(code));
    switch (code) {
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return failure(TokenHttpError::Resolve, where + ": the name could not be resolved" + number);
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return failure(TokenHttpError::Connect, where + ": no connection could be made" + number);
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return failure(TokenHttpError::Connect, where + ": the connection broke while " + step + number);
        // Wine's WinHTTP passes some socket errors through as they are.
        case WSAECONNREFUSED:
            return failure(TokenHttpError::Connect, where + ": no connection could be made" + number);
        case WSAECONNRESET:
        case WSAECONNABORTED:
            return failure(TokenHttpError::Connect, where + ": the connection broke while " + step + number);
        case WSAETIMEDOUT:
        case ERROR_WINHTTP_TIMEOUT:
            return failure(TokenHttpError::TimedOut, where + ": timed out while " + step + number);
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return failure(TokenHttpError::Protocol, where + ": the answer is not HTTP" + number);
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: {
            DWORD flags = secureFlags;
            if (flags == 0) {
                if (code == ERROR_WINHTTP_SECURE_INVALID_CA) flags = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
                if (code == ERROR_WINHTTP_SECURE_CERT_CN_INVALID) flags = WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
                if (code == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID)
                    flags = WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
                if (code == ERROR_WINHTTP_SECURE_CERT_REVOKED) flags = WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED;
                if (code == ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE)
                    flags = WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;
            }
            return failure(TokenHttpError::Certificate,
                           where + ": " + certificateWords(flags, host) + "; the request body was not sent" + number);
        }
        default:
            return failure(TokenHttpError::Failed, where + ": failed while " + step + number);
    }
}

}  // namespace

bool isLoopbackHost(const std::string& host) {
    return host == "127.0.0.1" || equalsIgnoringCase(host, "localhost");
}

TokenHttpClient::TokenHttpClient(const TokenHttpLimits& limits, const TrustedRoots* roots)
    : limits_(limits), roots_(roots) {}

TokenHttpAnswer TokenHttpClient::post(bool secure, const std::string& host, unsigned port, const std::string& path,
                                      const std::string& contentType, const std::string& body) const {
    if (host.empty() || !fitsInHeader(host) || !fitsInHeader(path) || !fitsInHeader(contentType))
        return failure(TokenHttpError::NotAllowed, "the token URL's host, path or the content type is not usable");
    const std::string where = formatBounded("%s:%u", host.c_str(), port);
    if (port == 0 || port > 65535) return failure(TokenHttpError::NotAllowed, where + ": the port is not usable");
    if (path.empty() || path[0] != '/')
        return failure(TokenHttpError::NotAllowed, where + ": the path does not begin with /");
    // The body holds a secret: in clear text only to this machine.
    if (!secure && !isLoopbackHost(host))
        return failure(TokenHttpError::NotAllowed,
                       where + ": plain http is only for 127.0.0.1 and localhost; nothing was sent");
    if (body.size() > 0x7fffffffu) return failure(TokenHttpError::NotAllowed, where + ": the request is too large");

    // Proxy: the machine's WinHTTP proxy setting (netsh winhttp; direct when
    // none is set), the usual choice for a service. AUTOMATIC_PROXY would be
    // Windows 8.1 and later only. The loopback never goes through a proxy.
    const DWORD access = isLoopbackHost(host) ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    const InternetHandle session(WinHttpOpen(L"kelvar", access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return winHttpFailure(GetLastError(), 0, host, port, "opening a session");
    // WinHTTP takes 0 as "no time-out": every wait stays bounded.
    const auto bounded = [](int ms) { return std::max(ms, 1); };
    if (!WinHttpSetTimeouts(session.get(), bounded(limits_.resolveMs), bounded(limits_.connectMs),
                            bounded(limits_.sendMs), bounded(limits_.receiveMs)))
        return winHttpFailure(GetLastError(), 0, host, port, "setting the time-outs");

    const std::wstring wideHost = widen(host);
    const InternetHandle connection(WinHttpConnect(session.get(), wideHost.c_str(), static_cast<INTERNET_PORT>(port), 0));
    if (!connection) return winHttpFailure(GetLastError(), 0, host, port, "connecting");
    const std::wstring widePath = widen(path);
    const InternetHandle request(WinHttpOpenRequest(connection.get(), L"POST", widePath.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return winHttpFailure(GetLastError(), 0, host, port, "opening the request");

    // The wait for the answer's headers has a time-out of its own, which
    // Wine's WinHTTP applies instead of the receive time-out: the same value.
    DWORD answerWait = static_cast<DWORD>(bounded(limits_.receiveMs));
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerWait, sizeof answerWait))
        return winHttpFailure(GetLastError(), 0, host, port, "setting the time-outs");
    // A redirect would send the body again, to a place the settings do not name.
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features))
        return winHttpFailure(GetLastError(), 0, host, port, "turning redirects off");
    // Never the Windows sign-in of whoever runs the program. Best effort: an
    // older WinHTTP without the option logs on automatically to the intranet only.
    DWORD autoLogon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &autoLogon, sizeof autoLogon);

    const bool ownRoots = secure && roots_ && !roots_->empty();
    if (ownRoots) {
        // The system may not know a root of CA_FILE; whether the server's
        // chain ends in one is checked below, before the body leaves.
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags))
            return winHttpFailure(GetLastError(), 0, host, port, "setting the security flags");
    }
    DWORD secureFlags = 0;
    WinHttpSetStatusCallback(request.get(), noteSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);

    const std::wstring headers = L"Content-Type: " + widen(contentType) + L"\r\n";
    // Headers only: the body waits for the certificate check.
    if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0,
                            static_cast<DWORD>(body.size()), reinterpret_cast<DWORD_PTR>(&secureFlags)))
        return winHttpFailure(GetLastError(), secureFlags, host, port, "sending the request");

    if (secure) {
        PCCERT_CONTEXT raw = nullptr;
        DWORD size = sizeof raw;
        if (!WinHttpQueryOption(request.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || !raw)
            return failure(TokenHttpError::Certificate,
                           where + ": the server's certificate could not be read; the request body was not sent");
        const CertificateContext certificate(raw);
        const TrustedRoots none;
        const std::string refused = verifyServerCertificate(certificate.get(), host, ownRoots ? *roots_ : none);
        if (!refused.empty())
            return failure(TokenHttpError::Certificate, where + ": " + refused + "; the request body was not sent");
    }

    std::size_t sent = 0;
    while (sent < body.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(body.size() - sent, 1u << 20));
        if (!WinHttpWriteData(request.get(), body.data() + sent, chunk, &written))
            return winHttpFailure(GetLastError(), secureFlags, host, port, "sending the request");
        if (written == 0) return failure(TokenHttpError::Connect, where + ": the request could not be sent whole");
        sent += written;
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr))
        return winHttpFailure(GetLastError(), secureFlags, host, port, "waiting for the answer");

    TokenHttpAnswer answer;
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
        return winHttpFailure(GetLastError(), secureFlags, host, port, "reading the answer's status");
    answer.status = static_cast<int>(status);

    std::vector<char> buffer(16 * 1024);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available))
            return winHttpFailure(GetLastError(), secureFlags, host, port, "reading the answer");
        if (available == 0) break;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(available, buffer.size()));
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), want, &got))
            return winHttpFailure(GetLastError(), secureFlags, host, port, "reading the answer");
        if (got == 0) break;
        if (answer.body.size() + got > limits_.maxResponseBytes)
            return failure(TokenHttpError::TooLarge,
                           formatBounded("%s: the answer is longer than %lu bytes", where.c_str(),
                                         static_cast<unsigned long>(limits_.maxResponseBytes)));
        answer.body.append(buffer.data(), got);
    }
    answer.error = TokenHttpError::None;
    return answer;
}

}  // namespace rvo
