#pragma once
// The scan cache's compact file: a header, the listings' entries as counted strings and fixed-width
// numbers with the repeated texts (folders, domains, types) kept once, the entries' ids apart, and
// a checksum over all of it. A file that is cut short, altered or not of this form reads as no cache.

#include "vault/ScanCache.h"

#include <QByteArray>
#include <QByteArrayView>

#include <expected>

namespace harkwell {

class ScanCacheFormat {
public:
    static constexpr quint32 kVersion = 1;

    struct Encoded {
        QByteArray bytes;
        // The same for two listings of the same files whatever their ids or the time of saving.
        quint64 listingDigest = 0;
    };

    static Encoded encode(const QList<FileEntry>& vault, const QList<FileEntry>& remotes, const QDateTime& savedAt);
    // The cache's listingDigest is set to the one stored.
    static std::expected<ScanCache, DecodeError> decode(QByteArrayView bytes);
    // What a file's last eight bytes hold for the bytes before them (little-endian).
    static quint64 checksum(QByteArrayView bytes);
};

}  // namespace harkwell
