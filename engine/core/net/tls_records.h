#pragma once
// What the engine checks of TLS bytes and certificate text itself, before
// the system's TLS implementation sees them: the size of every record
// (a record is at most 2^14 bytes of data plus the protection's overhead,
// so the receive buffer stays bounded), the PEM blocks of a file of roots,
// and whether a server name is an IPv4 address.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace rvo {

inline constexpr std::size_t kTlsRecordHeaderBytes = 5;
// TLS 1.2 allows 2^14 + 2048 bytes of protected data in one record; TLS 1.3 less.
inline constexpr std::size_t kMaxTlsRecordBodyBytes = 16384 + 2048;
inline constexpr std::size_t kMaxTlsRecordBytes = kTlsRecordHeaderBytes + kMaxTlsRecordBodyBytes;

enum class TlsRecordCheck {
    Fine,        // every record seen so far is well formed
    NotTls,      // a header that no TLS peer sends (content type, version)
    TooLong,     // a record announcing more than kMaxTlsRecordBodyBytes
};

// Walks the record headers from the start of `bytes`: complete records and
// the header of an incomplete last one.
TlsRecordCheck checkTlsRecords(std::string_view bytes);

// Whether a record that the system's TLS implementation took without error
// and without any data for the caller carries an alert, judged by its
// 5-byte header. A TLS stack passes only one alert without error, the
// peer's close_notify; some (Wine's) report it no other way. Up to TLS 1.2
// the header says "alert"; in TLS 1.3 every protected record says
// "application data", and an alert is told by its length: two alert bytes,
// the inner content type and the tag of the AEAD cipher (16 bytes, or 8
// for CCM_8), where a handshake message or an empty data record differs.
bool emptyRecordIsAlert(std::string_view header, bool tls13);

// The base64 text of each "-----BEGIN CERTIFICATE-----" block, markers
// included, in file order. Other blocks (keys, CRLs) are left out; a block
// without its end marker is left out too.
std::vector<std::string_view> pemCertificateBlocks(std::string_view text);

// The four bytes of a dotted IPv4 address "a.b.c.d" (decimal, each 0-255,
// no leading zeros beyond "0"); empty for a host name.
std::optional<std::array<std::uint8_t, 4>> ipv4Address(std::string_view text);

}  // namespace rvo
