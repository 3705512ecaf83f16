// The framing checks of TLS bytes from the server, the reading of a file of
// roots and of a host name. However the received bytes are split, the
// verdict on them is the one on the whole; nothing accepted holds a record
// longer than its bound; what is read out of a text lies within it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "engine/core/net/tls_records.h"

namespace {

[[noreturn]] void fail() { __builtin_trap(); }

std::size_t recordLength(std::string_view header) {
    return static_cast<std::size_t>(static_cast<unsigned char>(header[3])) << 8 |
           static_cast<unsigned char>(header[4]);
}

// The complete records at the start of `bytes` that a Fine verdict vouches
// for; each is checked against the bounds. Returns the bytes they take.
std::size_t completeRecords(std::string_view bytes) {
    std::size_t consumed = 0;
    while (bytes.size() >= rvo::kTlsRecordHeaderBytes) {
        const auto type = static_cast<unsigned char>(bytes[0]);
        if (type < 20 || type > 24 || bytes[1] != 3) fail();
        const std::size_t length = recordLength(bytes);
        if (length > rvo::kMaxTlsRecordBodyBytes) fail();
        if (bytes.size() < rvo::kTlsRecordHeaderBytes + length) break;
        consumed += rvo::kTlsRecordHeaderBytes + length;
        bytes.remove_prefix(rvo::kTlsRecordHeaderBytes + length);
    }
    return consumed;
}

void checkFraming(std::string_view bytes) {
    const rvo::TlsRecordCheck whole = rvo::checkTlsRecords(bytes);
    // Bytes arrive in pieces: the verdict on what has arrived so far is
    // final once it is a refusal, and a stream found fine was fine at every step.
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        const rvo::TlsRecordCheck prefix = rvo::checkTlsRecords(bytes.substr(0, cut));
        if (prefix != rvo::TlsRecordCheck::Fine && prefix != whole) fail();
        if (whole == rvo::TlsRecordCheck::Fine && prefix != rvo::TlsRecordCheck::Fine) fail();
    }
    if (whole != rvo::TlsRecordCheck::Fine) return;
    const std::size_t consumed = completeRecords(bytes);
    if (consumed > bytes.size()) fail();
    // The channel drops complete records as they are decrypted: what is left
    // is judged as the whole was.
    if (rvo::checkTlsRecords(bytes.substr(consumed)) != rvo::TlsRecordCheck::Fine) fail();
    if (rvo::checkTlsRecords(bytes.substr(0, consumed)) != rvo::TlsRecordCheck::Fine) fail();
}

void checkAlert(std::string_view bytes) {
    for (const bool tls13 : {false, true}) {
        if (!rvo::emptyRecordIsAlert(bytes, tls13)) continue;
        if (bytes.size() < rvo::kTlsRecordHeaderBytes || bytes[1] != 3) fail();
        const auto type = static_cast<unsigned char>(bytes[0]);
        const std::size_t length = recordLength(bytes);
        if (type != 21 && !(tls13 && type == 23 && (length == 19 || length == 11))) fail();
    }
}

void checkPem(std::string_view text) {
    constexpr std::string_view begin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view end = "-----END CERTIFICATE-----";
    const char* after = text.data();
    for (const std::string_view block : rvo::pemCertificateBlocks(text)) {
        // A view into the text, after the block before it, one certificate only.
        if (block.data() < after || block.data() + block.size() > text.data() + text.size()) fail();
        if (block.substr(0, begin.size()) != begin) fail();
        if (block.size() < begin.size() + end.size() || block.substr(block.size() - end.size()) != end) fail();
        if (block.find(begin, 1) != std::string_view::npos) fail();
        after = block.data() + block.size();
    }
}

void checkAddress(std::string_view text) {
    const auto address = rvo::ipv4Address(text);
    if (!address) return;
    // Only the plain dotted form is an address: written back, it is the text.
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", (*address)[0], (*address)[1], (*address)[2], (*address)[3]);
    if (text != dotted) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Every cut is tried: long inputs say nothing more about the framing.
    if (bytes.size() <= 4096) checkFraming(bytes);
    checkAlert(bytes);
    checkPem(bytes);
    checkAddress(bytes.substr(0, 32));
    return 0;
}
