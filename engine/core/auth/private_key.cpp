#include "engine/core/auth/private_key.h"

#include "engine/core/auth/base64.h"

namespace rvo {
namespace {

constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kNull = 0x05;
constexpr unsigned char kOid = 0x06;
constexpr unsigned char kAttributes = 0xA0;  // [0] IMPLICIT, constructed
// [1] IMPLICIT BIT STRING of OneAsymmetricKey (RFC 5958), and the constructed
// form some writers use.
constexpr unsigned char kPublicKeyPrimitive = 0x81;
constexpr unsigned char kPublicKey = 0xA1;
// 1.2.840.113549.1.1.1
constexpr std::string_view kRsaEncryptionOid("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01", 9);

struct DerElement {
    unsigned char tag = 0;
    std::string_view content;
};

// Reads elements one after another from a view; every length is checked
// against what is left before anything is taken.
class DerReader {
public:
    explicit DerReader(std::string_view bytes) : rest_(bytes) {}

    bool atEnd() const { return rest_.empty(); }

    std::optional<DerElement> next() {
        if (rest_.size() < 2) return std::nullopt;
        const unsigned char tag = static_cast<unsigned char>(rest_[0]);
        if ((tag & 0x1F) == 0x1F) return std::nullopt;  // multi-byte tags: none in a key
        const unsigned char first = static_cast<unsigned char>(rest_[1]);
        std::size_t header = 2;
        std::size_t length = 0;
        if (first < 0x80) {
            length = first;
        } else {
            const std::size_t count = first & 0x7F;
            if (count == 0 || count > 4) return std::nullopt;  // indefinite, or absurdly long
            if (rest_.size() - 2 < count) return std::nullopt;
            for (std::size_t i = 0; i < count; ++i) length = length << 8 | static_cast<unsigned char>(rest_[2 + i]);
            header += count;
        }
        if (rest_.size() - header < length) return std::nullopt;
        DerElement element{tag, rest_.substr(header, length)};
        rest_.remove_prefix(header + length);
        return element;
    }

    std::optional<DerElement> next(unsigned char tag) {
        std::optional<DerElement> e = next();
        if (!e || e->tag != tag) return std::nullopt;
        return e;
    }

private:
    std::string_view rest_;
};

RsaKeyResult failed(PrivateKeyError error, const char* reason) {
    RsaKeyResult r;
    r.error = error;
    r.reason = reason;
    return r;
}

// An RSAPrivateKey: SEQUENCE { version, n, e, d, p, q, dp, dq, qinv [, otherPrimeInfos] }
// filling `der` exactly.
RsaKeyResult checkedRsaPrivateKey(std::string_view der) {
    DerReader outer(der);
    const std::optional<DerElement> sequence = outer.next(kSequence);
    if (!sequence || !outer.atEnd())
        return failed(PrivateKeyError::NotDer, "the RSA private key is not a DER SEQUENCE");
    DerReader fields(sequence->content);
    for (int i = 0; i < 9; ++i) {
        const std::optional<DerElement> integer = fields.next(kInteger);
        if (!integer || integer->content.empty())
            return failed(PrivateKeyError::NotDer, "the RSA private key lacks one of its nine numbers");
    }
    RsaKeyResult r;
    r.error = PrivateKeyError::None;
    r.der.assign(der);
    return r;
}

}  // namespace

std::optional<std::string> pemBlock(std::string_view text, std::string_view label) {
    const std::string begin = "-----BEGIN " + std::string(label) + "-----";
    const std::string end = "-----END " + std::string(label) + "-----";
    const std::size_t b = text.find(begin);
    if (b == std::string_view::npos) return std::nullopt;
    const std::size_t bodyStart = b + begin.size();
    const std::size_t e = text.find(end, bodyStart);
    if (e == std::string_view::npos) return std::nullopt;
    std::string body;
    for (const char c : text.substr(bodyStart, e - bodyStart))
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') body += c;
    return body;
}

RsaKeyResult rsaPrivateKeyFromPkcs8(std::string_view der) {
    DerReader outer(der);
    const std::optional<DerElement> info = outer.next(kSequence);
    if (!info || !outer.atEnd()) return failed(PrivateKeyError::NotDer, "the private key is not a DER SEQUENCE");
    DerReader fields(info->content);
    const std::optional<DerElement> version = fields.next(kInteger);
    if (!version || version->content.size() != 1 || (version->content[0] != 0 && version->content[0] != 1))
        return failed(PrivateKeyError::NotDer, "the private key has no known version");
    const std::optional<DerElement> algorithm = fields.next(kSequence);
    if (!algorithm) return failed(PrivateKeyError::NotDer, "the private key names no algorithm");
    DerReader algorithmFields(algorithm->content);
    const std::optional<DerElement> oid = algorithmFields.next(kOid);
    if (!oid) return failed(PrivateKeyError::NotDer, "the private key names no algorithm");
    if (oid->content != kRsaEncryptionOid)
        return failed(PrivateKeyError::NotRsa, "the private key is not an RSA key (RS256 needs one)");
    if (!algorithmFields.atEnd()) {
        const std::optional<DerElement> parameters = algorithmFields.next(kNull);
        if (!parameters || !parameters->content.empty() || !algorithmFields.atEnd())
            return failed(PrivateKeyError::NotDer, "the private key's RSA algorithm has parameters");
    }
    const std::optional<DerElement> key = fields.next(kOctetString);
    if (!key) return failed(PrivateKeyError::NotDer, "the private key holds no key");
    // What may follow: attributes, then (version 1) the public key; nothing else.
    int lastRank = 0;
    while (!fields.atEnd()) {
        const std::optional<DerElement> extra = fields.next();
        const int rank = !extra                                                          ? 0
                         : extra->tag == kAttributes                                     ? 1
                         : extra->tag == kPublicKey || extra->tag == kPublicKeyPrimitive ? 2
                                                                                         : 0;
        if (rank <= lastRank) return failed(PrivateKeyError::NotDer, "the private key has unknown fields after the key");
        lastRank = rank;
    }
    return checkedRsaPrivateKey(key->content);
}

RsaKeyResult rsaPrivateKeyFromPem(std::string_view pem) {
    const auto decode = [](const std::string& body) -> std::optional<std::string> {
        // The decoded bytes can only be smaller than the text.
        return base64Decode(body, body.size());
    };
    if (const std::optional<std::string> body = pemBlock(pem, "PRIVATE KEY")) {
        const std::optional<std::string> der = decode(*body);
        if (!der) return failed(PrivateKeyError::BadBase64, "the PRIVATE KEY block is not base64");
        return rsaPrivateKeyFromPkcs8(*der);
    }
    if (const std::optional<std::string> body = pemBlock(pem, "RSA PRIVATE KEY")) {
        // The old OpenSSL form with a password has headers such as "Proc-Type: 4,ENCRYPTED".
        if (body->find(':') != std::string::npos)
            return failed(PrivateKeyError::Encrypted, "the RSA PRIVATE KEY block is encrypted; a key without a password is needed");
        const std::optional<std::string> der = decode(*body);
        if (!der) return failed(PrivateKeyError::BadBase64, "the RSA PRIVATE KEY block is not base64");
        return checkedRsaPrivateKey(*der);
    }
    if (pemBlock(pem, "ENCRYPTED PRIVATE KEY"))
        return failed(PrivateKeyError::Encrypted, "the private key is encrypted; a key without a password is needed");
    if (pemBlock(pem, "EC PRIVATE KEY"))
        return failed(PrivateKeyError::NotRsa, "the private key is not an RSA key (RS256 needs one)");
    return failed(PrivateKeyError::NoPemBlock, "no PEM block \"PRIVATE KEY\" or \"RSA PRIVATE KEY\" found");
}

}  // namespace rvo
