// The scan cache, the last listings: the JSON decoder and the compact one, their round trips, what
// the compact form makes of whatever the JSON form held, and where the entries point.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "platform/paths/Paths.h"
#include "vault/ScanCache.h"
#include "vault/ScanCacheFormat.h"

#include <QJsonDocument>
#include <QtEndian>

#include <cstring>

using namespace harkwell;
using namespace harkwell::fuzz;

HARKWELL_JSON_MUTATOR({"vaultFiles", "remoteFiles", "savedAt", "id", "filename", "relativePath", "parentFolder",
                       "creationDate", "modificationDate", "size", "fullPath", "source", "filenameDate", "domain",
                       "fileType", "vault", "workspace", "outbox", "inbox", "handoff", "a.md", "notes/a.md", "notes",
                       "file:///tmp/vault/notes/a.md", "file:///tmp/vault/notes/../../etc/a.md",
                       "file:///tmp/vault/./a.md", "file:///tmp/vault//a.md", "file:///tmp/vault/%FF.md",
                       "file:///tmp/vault/a%2Fb.md", "file:///tmp/vault/a%25.md", "file:///tmp/vault/a%3F.md"})

namespace {

// The entry names one local file by a plain absolute path: nothing that climbs out of the folder
// it was listed under, nothing a reader of the URL would take apart differently.
bool pointsAtAFile(const FileEntry& entry)
{
    const QUrl url = entry.fullPath.url();
    if (!url.isLocalFile())
        return false;
    const QString path = url.toLocalFile();
    return path.startsWith(QLatin1Char('/')) && QDir::cleanPath(path) == path;
}

// A compact cache that decoded: its entries point at files, and written again it reads back the
// same and is written the same from then on.
void checkCompact(const ScanCache& cache, const QByteArray& from)
{
    for (const QList<FileEntry>* list : {&cache.vaultFiles, &cache.remoteFiles})
        for (const FileEntry& entry : *list)
            HARKWELL_FUZZ_CHECK(pointsAtAFile(entry), from.toHex());
    const auto written = ScanCacheFormat::encode(cache.vaultFiles, cache.remoteFiles, cache.savedAt);
    const auto again = ScanCacheFormat::decode(written.bytes);
    HARKWELL_FUZZ_CHECK(again, from.toHex());
    HARKWELL_FUZZ_CHECK(again->vaultFiles == cache.vaultFiles && again->remoteFiles == cache.remoteFiles
                            && again->savedAt == cache.savedAt && again->listingDigest == written.listingDigest,
                        from.toHex());
    HARKWELL_FUZZ_CHECK(ScanCacheFormat::encode(again->vaultFiles, again->remoteFiles, again->savedAt).bytes == written.bytes,
                        from.toHex());
}

// The bytes with their checksum made right again, so that the decoder's other checks are reached.
QByteArray resealed(QByteArray bytes)
{
    if (bytes.size() < 8)
        return bytes;
    const quint64 sum = qToLittleEndian(ScanCacheFormat::checksum(QByteArrayView(bytes).chopped(8)));
    std::memcpy(bytes.data() + bytes.size() - 8, &sum, 8);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    // The input as a compact file, as it is and with its checksum made right.
    for (const QByteArray& compact : {bytes, resealed(bytes)})
        if (const auto decoded = ScanCacheFormat::decode(compact))
            checkCompact(*decoded, compact);

    const QString path = Paths::scanCacheFile();
    (void)privateHome();
    writeFile(Paths::scanCacheFile(), bytes);
    const auto loaded = ScanCache::load();
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    HARKWELL_FUZZ_CHECK(!loaded || document.isObject());
    if (!loaded)
        return 0;
    for (const QList<FileEntry>* list : {&loaded->vaultFiles, &loaded->remoteFiles})
        for (const FileEntry& entry : *list)
            HARKWELL_FUZZ_CHECK(pointsAtAFile(entry), entry.fullPath.toString(QUrl::FullyEncoded).toUtf8());

    // Saved and loaded again, the cache is the same, and so is its text saved again.
    const QJsonObject written = loaded->toJson();
    const auto again = ScanCache::fromJson(written);
    HARKWELL_FUZZ_CHECK(again, QJsonDocument(written).toJson());
    HARKWELL_FUZZ_CHECK(again->vaultFiles == loaded->vaultFiles && again->remoteFiles == loaded->remoteFiles,
                        QJsonDocument(written).toJson());
    HARKWELL_FUZZ_CHECK(again->toJson() == written, QJsonDocument(written).toJson());

    // Whatever the JSON form held, the compact form holds as well.
    const auto compact = ScanCacheFormat::encode(loaded->vaultFiles, loaded->remoteFiles, loaded->savedAt);
    const auto decoded = ScanCacheFormat::decode(compact.bytes);
    HARKWELL_FUZZ_CHECK(decoded, decoded ? QByteArray() : decoded.error().text.toUtf8());
    HARKWELL_FUZZ_CHECK(decoded->vaultFiles == loaded->vaultFiles && decoded->remoteFiles == loaded->remoteFiles
                            && decoded->savedAt == loaded->savedAt,
                        QJsonDocument(written).toJson());
    checkCompact(*decoded, compact.bytes);
    // And altered in a few bytes the input picks, then resealed, it decodes as a cache that keeps
    // the rules or as none.
    QByteArray altered = compact.bytes;
    for (size_t index = 0; index + 1 < size && index < 16; index += 2)
        altered[qsizetype(data[index] * 257u + data[index + 1]) % (altered.size() - 8)] = char(data[index + 1]);
    altered = resealed(altered);
    if (const auto decodedAltered = ScanCacheFormat::decode(altered))
        checkCompact(*decodedAltered, altered);
    return 0;
}
