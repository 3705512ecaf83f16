#pragma once
// Verification of the server's certificate, before any credential is sent:
// a chain to a root the system trusts or to one of the further roots of a
// PEM file (CA_FILE), valid for server authentication, within its dates,
// and naming the server as configured (a host name against the DNS names,
// an IPv4 address against the IP entries).
#include <optional>
#include <string>

#include "engine/win32/net/tls_handles.h"

namespace rvo {

// The certificates of a PEM file, kept in a store of their own.
class TrustedRoots {
public:
    TrustedRoots();
    // Reads the file (at most 1 MB); false with `error` set when it cannot be
    // read or holds no certificate the system can decode.
    bool load(const std::string& path, std::string& error);
    bool empty() const { return count_ == 0; }
    int count() const { return count_; }
    HCERTSTORE store() const { return store_.get(); }
    // The same certificate, byte for byte, is one of them.
    bool holds(PCCERT_CONTEXT certificate) const;

private:
    CertificateStore store_;
    int count_ = 0;
};

// Empty when `certificate` (with the intermediates the server sent in its
// store) may be trusted for `host`; else one sentence saying what failed.
std::string verifyServerCertificate(PCCERT_CONTEXT certificate, const std::string& host, const TrustedRoots& roots);

}  // namespace rvo
