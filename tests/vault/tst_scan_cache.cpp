// The scan cache's compact file: a million entries read back as written, damaged or foreign files
// read as no cache, the JSON file of earlier versions read once and replaced, and an unchanged
// listing written once.

#include "support/TempHome.h"
#include "platform/paths/Paths.h"
#include "vault/ScanCache.h"
#include "vault/ScanCacheFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>

using namespace harkwell;

namespace {

const QDateTime kSavedAt(QDate(2026, 3, 4), QTime(9, 0, 1, 250), Qt::UTC);

// The n-th entry of a listing as the vault listing makes it: one folder for all, paths below it,
// names repeating folder by folder, some not ASCII, the optional fields on some.
FileEntry listed(qsizetype n, const QString& root = QStringLiteral("/home/u/Vault"))
{
    static const QString kFileTypes[] = {QStringLiteral("md"), QStringLiteral("pdf"), QStringLiteral("txt")};
    static const qint64 base = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    FileEntry entry;
    entry.id = QUuid(uint(n), ushort(n >> 32), 0x4000, 0x80, 0, 0, 0, 0, 0, 0, uchar(n));
    entry.parentFolder = QStringLiteral("sub-") + QString::number(n / 100 % 10);
    entry.filename = (n % 5 == 0 ? QStringLiteral("Überblick-") : QStringLiteral("note-")) + QString::number(n)
                     + QStringLiteral(".md");
    entry.relativePath = QStringLiteral("area-") + QString::number(n / 1000) + QLatin1Char('/') + entry.parentFolder
                         + QLatin1Char('/') + entry.filename;
    entry.creationDate = QDateTime::fromMSecsSinceEpoch(base - n * 61'001, Qt::UTC);
    entry.modificationDate = QDateTime::fromMSecsSinceEpoch(base - n * 59'999, Qt::UTC);
    entry.size = n * 37;
    entry.fullPath = FileLocation(root, entry.relativePath);
    if (n % 3 == 0)
        entry.filenameDate = QDateTime::fromMSecsSinceEpoch(base - n / 10 * 86'400'000, Qt::UTC);
    if (n % 4 == 0)
        entry.domain = QStringLiteral("area-") + QString::number(n / 1000);
    if (n % 2 == 0)
        entry.fileType = kFileTypes[n % 3];
    return entry;
}

QList<FileEntry> listing(qsizetype count, const QString& root = QStringLiteral("/home/u/Vault"))
{
    QList<FileEntry> entries;
    entries.reserve(count);
    for (qsizetype n = 0; n < count; ++n)
        entries.append(listed(n, root));
    return entries;
}

// Entries of every shape the listings and the old cache make, beside the plain ones.
QList<FileEntry> unusualEntries()
{
    QList<FileEntry> entries = listing(6, QStringLiteral("/r/wörk space"));
    // Half a surrogate pair: text JSON could hold, and no UTF-8 can.
    entries[0].filename = QStringLiteral("not the path's last part ") + QChar(0xdc00) + QStringLiteral(".md");
    entries[1].fullPath = QUrl::fromLocalFile(QStringLiteral("/r/m/whole path.md"));  // no folder of its own
    entries[2].fullPath = FileLocation(QStringLiteral("/r"), QStringLiteral("m/other path.md"));
    entries[3].fullPath = QUrl(QStringLiteral("file:///tmp/vault/%FF.md"));  // a name that is not UTF-8
    entries[4].source = FileEntry::Source::Workspace;
    entries[4].relativePath = entries[4].filename;
    entries[4].parentFolder.clear();
    entries[4].fullPath = FileLocation(QStringLiteral("/r/wörk space"), entries[4].relativePath);
    entries[5].source = FileEntry::Source::Handoff;
    entries[5].creationDate = QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
    entries[5].domain = QString();
    return entries;
}

QByteArray sampleFile()
{
    return ScanCacheFormat::encode(listing(40), unusualEntries(), kSavedAt).bytes;
}

QByteArray flipped(QByteArray bytes, qsizetype at, int bit = 0)
{
    bytes[at] = char(bytes.at(at) ^ (1 << bit));
    return bytes;
}

void writeCompactFile(const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(ScanCache::filePath()).path());
    QFile file(ScanCache::filePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QDateTime modified(const QString& path)
{
    return QFileInfo(path).fileTime(QFileDevice::FileModificationTime);
}

void backdate(const QString& path, const QDateTime& time)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
}

}  // namespace

class ScanCacheTest : public QObject {
    Q_OBJECT

private slots:
    void aMillionEntriesRoundTrip();
    void smallListingsRoundTrip_data();
    void smallListingsRoundTrip();
    void damagedOrForeignFileIsNoCache_data();
    void damagedOrForeignFileIsNoCache();
    void everyShorterFileAndEveryFlippedBitIsRefused();
    void oldJsonCacheIsReadOnceAndReplaced();
    void unchangedListingSavedTwiceIsWrittenOnce();
};

void ScanCacheTest::aMillionEntriesRoundTrip()
{
    constexpr qsizetype kCount = 1'000'000;
    test::TempHome home;
    const QList<FileEntry> remotes = unusualEntries();
    std::expected<quint64, FileError> digest;
    {
        // Let go once saved: the entries read back are compared with ones made afresh.
        const QList<FileEntry> vault = unusualEntries() + listing(kCount);
        digest = ScanCache::save(vault, remotes, kSavedAt);
    }
    QVERIFY2(digest, digest ? "" : qPrintable(digest.error().text));
    QVERIFY(!QFile::exists(Paths::scanCacheFile()));

    const auto loaded = ScanCache::load();
    QVERIFY2(loaded, loaded ? "" : qPrintable(loaded.error().text));
    QCOMPARE(loaded->vaultFiles.size(), remotes.size() + kCount);
    QCOMPARE(loaded->vaultFiles.first(remotes.size()), remotes);
    for (qsizetype n = 0; n < kCount; ++n)
        if (!(loaded->vaultFiles.at(remotes.size() + n) == listed(n)))
            QFAIL(qPrintable(QStringLiteral("entry %1 differs").arg(n)));
    QCOMPARE(loaded->remoteFiles, remotes);
    QCOMPARE(loaded->savedAt, kSavedAt);
    QCOMPARE(loaded->listingDigest, std::optional(*digest));
    // The parts of the locations come back as they were kept, not only as the same URLs.
    QCOMPARE(loaded->vaultFiles.at(2).fullPath.base(), QStringLiteral("/r"));
    QCOMPARE(loaded->vaultFiles.at(2).fullPath.relative(), QStringLiteral("m/other path.md"));
    QVERIFY(!loaded->vaultFiles.at(3).fullPath.otherUrl().isEmpty());
}

void ScanCacheTest::smallListingsRoundTrip_data()
{
    QTest::addColumn<QList<FileEntry>>("vault");
    QTest::addColumn<QList<FileEntry>>("remotes");
    // Entries near the fewest bytes one can take, where a bound on the counts is tightest.
    FileEntry shortest;
    shortest.relativePath = QStringLiteral("a");
    shortest.filename = shortest.relativePath;
    shortest.fullPath = FileLocation(QStringLiteral("/v"), shortest.relativePath);
    shortest.creationDate = kSavedAt;
    shortest.modificationDate = kSavedAt;
    QTest::newRow("nothing") << QList<FileEntry>{} << QList<FileEntry>{};
    QTest::newRow("one short entry") << QList<FileEntry>{shortest} << QList<FileEntry>{};
    QTest::newRow("short entries in both") << QList<FileEntry>{shortest, shortest} << QList<FileEntry>{shortest};
}

void ScanCacheTest::smallListingsRoundTrip()
{
    QFETCH(QList<FileEntry>, vault);
    QFETCH(QList<FileEntry>, remotes);
    const auto decoded = ScanCacheFormat::decode(ScanCacheFormat::encode(vault, remotes, kSavedAt).bytes);
    QVERIFY2(decoded, decoded ? "" : qPrintable(decoded.error().text));
    QCOMPARE(decoded->vaultFiles, vault);
    QCOMPARE(decoded->remoteFiles, remotes);
}

void ScanCacheTest::damagedOrForeignFileIsNoCache_data()
{
    QTest::addColumn<QByteArray>("content");
    const QByteArray good = sampleFile();
    QVERIFY(ScanCacheFormat::decode(good));  // the rows below are damaged copies of a good file
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("cut inside the header") << good.left(20);
    QTest::newRow("cut inside the entries") << good.left(good.size() / 2);
    QTest::newRow("cut before the checksum") << good.left(good.size() - 8);
    QTest::newRow("one byte short") << good.chopped(1);
    QTest::newRow("one byte more") << good + '\0';
    QTest::newRow("flipped in the magic") << flipped(good, 0);
    QTest::newRow("flipped in the version") << flipped(good, 8);
    QTest::newRow("flipped in the size") << flipped(good, 16, 3);
    QTest::newRow("flipped in the digest") << flipped(good, 24, 7);
    QTest::newRow("flipped in the time saved") << flipped(good, 32, 1);
    QTest::newRow("flipped in the entries") << flipped(good, good.size() / 2, 5);
    QTest::newRow("flipped in the ids") << flipped(good, good.size() - 8 - 3, 2);
    QTest::newRow("flipped in the checksum") << flipped(good, good.size() - 1, 6);
    QTest::newRow("JSON cache in its place") << QJsonDocument(ScanCache{listing(2), {}, kSavedAt, {}}.toJson()).toJson();
    QTest::newRow("an image") << QByteArray::fromHex("89504e470d0a1a0a0000000d4948445200000001000000010806000000");
    QTest::newRow("the magic alone") << good.left(8);
}

void ScanCacheTest::damagedOrForeignFileIsNoCache()
{
    QFETCH(QByteArray, content);
    test::TempHome home;
    writeCompactFile(content);
    const auto loaded = ScanCache::load();
    QVERIFY(!loaded);
    QVERIFY(!loaded.error().text.isEmpty());
}

void ScanCacheTest::everyShorterFileAndEveryFlippedBitIsRefused()
{
    const QByteArray good = sampleFile();
    for (qsizetype size = 0; size < good.size(); ++size)
        QVERIFY2(!ScanCacheFormat::decode(good.left(size)), qPrintable(QStringLiteral("cut to %1").arg(size)));
    for (qsizetype at = 0; at < good.size(); ++at)
        for (int bit = 0; bit < 8; ++bit)
            QVERIFY2(!ScanCacheFormat::decode(flipped(good, at, bit)),
                     qPrintable(QStringLiteral("bit %1 of byte %2").arg(bit).arg(at)));
}

void ScanCacheTest::oldJsonCacheIsReadOnceAndReplaced()
{
    test::TempHome home;
    const QList<FileEntry> vault = listing(3);
    const QList<FileEntry> remotes = unusualEntries().mid(4);
    const ScanCache old{vault, remotes, QDateTime(QDate(2026, 3, 4), QTime(9, 0, 1), Qt::UTC), {}};
    QDir().mkpath(Paths::cachesFolder());
    QFile json(Paths::scanCacheFile());
    QVERIFY(json.open(QIODevice::WriteOnly));
    json.write(QJsonDocument(old.toJson()).toJson(QJsonDocument::Compact));
    json.close();

    const auto fromJson = ScanCache::load();
    QVERIFY2(fromJson, fromJson ? "" : qPrintable(fromJson.error().text));
    QCOMPARE(fromJson->vaultFiles, vault);
    QCOMPARE(fromJson->remoteFiles, remotes);
    QCOMPARE(fromJson->listingDigest, std::nullopt);  // the next save writes whatever the listing

    QVERIFY(ScanCache::save(fromJson->vaultFiles, fromJson->remoteFiles, kSavedAt, fromJson->listingDigest));
    QVERIFY(!QFile::exists(Paths::scanCacheFile()));
    QVERIFY(QFile::exists(ScanCache::filePath()));
    const auto compact = ScanCache::load();
    QVERIFY(compact);
    QCOMPARE(compact->vaultFiles, vault);
    QVERIFY(compact->listingDigest);
}

void ScanCacheTest::unchangedListingSavedTwiceIsWrittenOnce()
{
    test::TempHome home;
    const QList<FileEntry> first = listing(50);
    const auto digest = ScanCache::save(first, unusualEntries(), kSavedAt);
    QVERIFY(digest);
    const QDateTime longAgo(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    backdate(ScanCache::filePath(), longAgo);

    // The same files listed again: new ids, a later time, nothing written.
    QList<FileEntry> again = listing(50);
    for (FileEntry& entry : again)
        entry.id = QUuid::createUuid();
    QCOMPARE(ScanCache::save(again, unusualEntries(), kSavedAt.addSecs(60), *digest), *digest);
    QCOMPARE(modified(ScanCache::filePath()), longAgo);
    QCOMPARE(ScanCache::load()->savedAt, kSavedAt);

    // One file grown: written.
    again[7].size += 1;
    const auto changed = ScanCache::save(again, unusualEntries(), kSavedAt.addSecs(60), *digest);
    QVERIFY(changed && *changed != *digest);
    QVERIFY(modified(ScanCache::filePath()) > longAgo);

    // The file gone meanwhile: written even though the listing is the one saved.
    QVERIFY(QFile::remove(ScanCache::filePath()));
    QVERIFY(ScanCache::save(again, unusualEntries(), kSavedAt, *changed));
    QCOMPARE(ScanCache::load()->vaultFiles, again);
}

QTEST_GUILESS_MAIN(ScanCacheTest)
#include "tst_scan_cache.moc"
