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

// The base64 text of each "-----BEGIN CERTIFICATE-----" block, markers
// included, in file order. Other blocks (keys, CRLs) are left out; a block
// without its end marker is left out too.
std::vector<std::string_view> pemCertificateBlocks(std::string_view text);

// The four bytes of a dotted IPv4 address "a.b.c.d" (decimal, each 0-255,
// no leading zeros beyond "0"); empty for a host name.
std::optional<std::array<std::uint8_t, 4>> ipv4Address(std::string_view text);

}  // namespace rvo
