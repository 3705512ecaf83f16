#pragma once
// Owners of the handles the TLS channel and the certificate check hold:
// SSPI credentials and contexts, and crypt32's certificate contexts,
// stores and chains. Each releases its handle once, when destroyed or
// reset; moves hand it over.
#define SECURITY_WIN32
// SCH_CREDENTIALS (TLS 1.3 on newer systems) and the UNICODE_STRING it uses.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <security.h>
#include <schannel.h>

#include "engine/win32/platform/unique_handle.h"

namespace rvo {

// A crypt32 or SSPI handle that is a pointer, null when empty.
template <typename Handle, void (*Release)(Handle)>
using CryptHandle = UniqueHandle<Handle, Release>;

namespace detail {
inline void releaseCertificate(PCCERT_CONTEXT c) { CertFreeCertificateContext(c); }
inline void releaseStore(HCERTSTORE s) { CertCloseStore(s, 0); }
inline void releaseChain(PCCERT_CHAIN_CONTEXT c) { CertFreeCertificateChain(c); }
inline void releaseContextBuffer(void* p) { FreeContextBuffer(p); }
}  // namespace detail

using CertificateContext = CryptHandle<PCCERT_CONTEXT, detail::releaseCertificate>;
using CertificateStore = CryptHandle<HCERTSTORE, detail::releaseStore>;
using CertificateChain = CryptHandle<PCCERT_CHAIN_CONTEXT, detail::releaseChain>;
// A buffer SSPI allocated (ISC_REQ_ALLOCATE_MEMORY).
using SspiBuffer = CryptHandle<void*, detail::releaseContextBuffer>;

// An SSPI handle (credentials or security context), released with `Release`.
template <SECURITY_STATUS(SEC_ENTRY* Release)(PSecHandle)>
class SspiHandle {
public:
    SspiHandle() { SecInvalidateHandle(&h_); }
    ~SspiHandle() { reset(); }
    SspiHandle(SspiHandle&& other) noexcept : h_(other.h_) { SecInvalidateHandle(&other.h_); }
    SspiHandle& operator=(SspiHandle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.h_;
            SecInvalidateHandle(&other.h_);
        }
        return *this;
    }
    SspiHandle(const SspiHandle&) = delete;
    SspiHandle& operator=(const SspiHandle&) = delete;

    bool valid() const { return SecIsValidHandle(&h_); }
    // For the call that fills the handle; the old one is released first.
    PSecHandle fill() {
        reset();
        return &h_;
    }
    PSecHandle get() { return valid() ? &h_ : nullptr; }
    void reset() {
        if (valid()) Release(&h_);
        SecInvalidateHandle(&h_);
    }

private:
    SecHandle h_;
};

using CredentialsHandle = SspiHandle<FreeCredentialsHandle>;
using SecurityContext = SspiHandle<DeleteSecurityContext>;

}  // namespace rvo
