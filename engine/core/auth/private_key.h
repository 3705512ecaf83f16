#pragma once
// The RSA private key of a service account, from the PEM text its key file
// holds, as the PKCS#1 RSAPrivateKey DER bytes that the Windows shell hands
// to CryptDecodeObjectEx(PKCS_RSA_PRIVATE_KEY). Key files carry PKCS#8
// ("PRIVATE KEY"), which not every crypt32 can decode, so the envelope is
// taken off here with a small DER reader of our own.
//
// The reader takes definite lengths only, single-byte tags and lengths of at
// most four bytes, and checks every length against what is left. Errors are
// a PrivateKeyError and a reason; no text ever holds a byte of the key.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rvo {

enum class PrivateKeyError {
    None,
    NoPemBlock,      // neither "PRIVATE KEY" nor "RSA PRIVATE KEY" found
    BadBase64,       // the body between the lines is not base64
    NotDer,          // the bytes are not the DER structure the label promises
    NotRsa,          // a key of another algorithm (EC, RSA-PSS, ...)
    Encrypted,       // "ENCRYPTED PRIVATE KEY" or a PEM with Proc-Type ENCRYPTED
};

struct RsaKeyResult {
    PrivateKeyError error = PrivateKeyError::NotDer;
    std::string reason;  // empty when error is None
    std::string der;     // the RSAPrivateKey DER bytes when error is None
    bool ok() const { return error == PrivateKeyError::None; }
};

// The body between "-----BEGIN <label>-----" and "-----END <label>-----"
// (the first such block), with line breaks (CR, LF) and blanks removed: the
// base64 text, not yet decoded. Empty when there is no such block.
std::optional<std::string> pemBlock(std::string_view text, std::string_view label);

// The PKCS#1 key from "PRIVATE KEY" (PKCS#8 PrivateKeyInfo: SEQUENCE {
// INTEGER 0 or 1, SEQUENCE { OID rsaEncryption, NULL (optional) },
// OCTET STRING key, [0] attributes and [1] public key (optional) }) or from
// "RSA PRIVATE KEY" as it is; in both cases the RSAPrivateKey is checked to
// be a SEQUENCE of an INTEGER version and eight INTEGERs, filling its bytes.
RsaKeyResult rsaPrivateKeyFromPem(std::string_view pem);

// The same from DER bytes of a PrivateKeyInfo (what "PRIVATE KEY" holds).
RsaKeyResult rsaPrivateKeyFromPkcs8(std::string_view der);

}  // namespace rvo
