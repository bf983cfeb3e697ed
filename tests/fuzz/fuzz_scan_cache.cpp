// scan-cache.json, the last listings: the decoder, its round trip, and where its entries point.
#include "FuzzSupport.h"
#include "JsonMutator.h"

#include "platform/paths/Paths.h"
#include "vault/ScanCache.h"

#include <QJsonDocument>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
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
    return 0;
}
