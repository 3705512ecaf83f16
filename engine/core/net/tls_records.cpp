#include "engine/core/net/tls_records.h"

namespace rvo {

namespace {
constexpr std::string_view kBeginCertificate = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndCertificate = "-----END CERTIFICATE-----";
constexpr unsigned char kAlertRecord = 21;
constexpr unsigned char kApplicationDataRecord = 23;
}  // namespace

TlsRecordCheck checkTlsRecords(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto type = static_cast<unsigned char>(bytes[0]);
        // change_cipher_spec, alert, handshake, application_data, heartbeat.
        if (type < 20 || type > 24) return TlsRecordCheck::NotTls;
        if (bytes.size() >= 2 && bytes[1] != 3) return TlsRecordCheck::NotTls;
        if (bytes.size() < kTlsRecordHeaderBytes) return TlsRecordCheck::Fine;
        const std::size_t length =
            static_cast<std::size_t>(static_cast<unsigned char>(bytes[3])) << 8 | static_cast<unsigned char>(bytes[4]);
        if (length > kMaxTlsRecordBodyBytes) return TlsRecordCheck::TooLong;
        if (bytes.size() < kTlsRecordHeaderBytes + length) return TlsRecordCheck::Fine;
        bytes.remove_prefix(kTlsRecordHeaderBytes + length);
    }
    return TlsRecordCheck::Fine;
}

bool emptyRecordIsAlert(std::string_view header, bool tls13) {
    if (header.size() < kTlsRecordHeaderBytes || header[1] != 3) return false;
    const auto type = static_cast<unsigned char>(header[0]);
    if (type == kAlertRecord) return true;
    if (!tls13 || type != kApplicationDataRecord) return false;
    const std::size_t length =
        static_cast<std::size_t>(static_cast<unsigned char>(header[3])) << 8 | static_cast<unsigned char>(header[4]);
    return length == 2 + 1 + 16 || length == 2 + 1 + 8;
}

std::vector<std::string_view> pemCertificateBlocks(std::string_view text) {
    std::vector<std::string_view> blocks;
    for (;;) {
        const std::size_t begin = text.find(kBeginCertificate);
        if (begin == std::string_view::npos) break;
        const std::size_t end = text.find(kEndCertificate, begin + kBeginCertificate.size());
        if (end == std::string_view::npos) break;
        // A second BEGIN before the END: the first block is cut off. The
        // second may overlap the dashes that close the first marker.
        const std::size_t nested = text.find(kBeginCertificate, begin + 1);
        if (nested != std::string_view::npos && nested < end) {
            text.remove_prefix(nested);
            continue;
        }
        const std::size_t stop = end + kEndCertificate.size();
        blocks.push_back(text.substr(begin, stop - begin));
        text.remove_prefix(stop);
    }
    return blocks;
}

std::optional<std::array<std::uint8_t, 4>> ipv4Address(std::string_view text) {
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[0] == '0')) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(value);
        text.remove_prefix(digits);
    }
    if (!text.empty()) return std::nullopt;
    return bytes;
}

}  // namespace rvo
