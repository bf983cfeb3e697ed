#include "vault/ScanCacheFormat.h"

#include "foundation/DateForms.h"
#include "platform/memory/LargePages.h"

#include <QDir>
#include <QHash>
#include <QtEndian>

#include <bit>
#include <cstring>
#include <vector>

namespace harkwell {

namespace {

// File: header, payload, then the checksum of both. Payload: the time of saving, the listing
// (counted), then every entry's id in the listing's order. Numbers are little-endian.
constexpr char kMagic[8] = {'H', 'A', 'R', 'K', 'S', 'C', 'A', 'N'};
constexpr qsizetype kHeaderBytes = 8 + 4 + 4 + 8 + 8;  // magic, version, flags, payload size, listing digest
constexpr qsizetype kChecksumBytes = 8;
constexpr qsizetype kIdBytes = 16;
// The fewest bytes an entry takes among the listing's (its id is kept apart): flags, source, an
// empty path, a folder, three numbers, a location. A count claiming more entries than that allows
// is refused before any room is taken for them.
constexpr qsizetype kLeastEntryBytes = 1 + 1 + 1 + 1 + 3 * 8 + 1;

enum EntryFlag : quint8 {
    kFilenameIsLast = 1 << 0,  // the file name is the path's last part and is not stored again
    kHasFilenameDate = 1 << 1,
    kHasDomain = 1 << 2,
    kHasFileType = 1 << 3,
    kLocationShift = 4,  // two bits: how the file's location is kept (Location below)
    kKnownFlags = 0x3f,
};

enum class Location : quint8 {
    BelowFolderAtPath = 0,  // a folder of the table and the entry's relative path
    BelowFolder = 1,        // a folder of the table and a path of its own
    Url = 2,                // a URL that is no plain local file's, as its encoded text
};

constexpr int kLastSource = int(FileEntry::Source::Handoff);

// A 64-bit hash in four lanes of multiply-rotate rounds, fast enough that checking a file of a
// million entries costs a few milliseconds. Not for security: it catches damage, not forgery.
constexpr quint64 kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr quint64 kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr quint64 kPrime3 = 0x165667B19E3779F9ULL;
constexpr quint64 kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr quint64 kPrime5 = 0x27D4EB2F165667C5ULL;

quint64 read64(const char* at)
{
    quint64 value;
    std::memcpy(&value, at, 8);
    return qFromLittleEndian(value);
}

quint64 mixRound(quint64 lane, quint64 input)
{
    return std::rotl(lane + input * kPrime2, 31) * kPrime1;
}

quint64 fingerprint(const char* data, qsizetype size)
{
    const char* at = data;
    const char* const end = data + size;
    quint64 hash;
    if (size >= 32) {
        quint64 lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, quint64(0) - kPrime1};
        for (; end - at >= 32; at += 32)
            for (int lane = 0; lane < 4; ++lane)
                lanes[lane] = mixRound(lanes[lane], read64(at + 8 * lane));
        hash = std::rotl(lanes[0], 1) + std::rotl(lanes[1], 7) + std::rotl(lanes[2], 12) + std::rotl(lanes[3], 18);
        for (const quint64 lane : lanes)
            hash = (hash ^ mixRound(0, lane)) * kPrime1 + kPrime4;
    } else {
        hash = kPrime5;
    }
    hash += quint64(size);
    for (; end - at >= 8; at += 8)
        hash = std::rotl(hash ^ mixRound(0, read64(at)), 27) * kPrime1 + kPrime4;
    for (; at < end; ++at)
        hash = std::rotl(hash ^ (quint64(quint8(*at)) * kPrime5), 11) * kPrime1;
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    hash ^= hash >> 32;
    return hash;
}

qint64 earliestMs()
{
    static const qint64 value = DateForms::earliest().toMSecsSinceEpoch();
    return value;
}

qint64 latestMs()
{
    static const qint64 value = DateForms::latest().toMSecsSinceEpoch();
    return value;
}

// Appends with its own doubling of room: a million entries make some ten million small appends.
class Writer {
public:
    QByteArray bytes;

    char* room(qsizetype count)
    {
        const qsizetype at = bytes.size();
        if (bytes.capacity() < at + count)
            bytes.reserve(std::max(bytes.capacity() * 2, at + count + 4096));
        bytes.resize(at + count);
        return bytes.data() + at;
    }
    void u8(quint8 value) { *room(1) = char(value); }
    void u32(quint32 value) { qToLittleEndian(value, room(4)); }
    void u64(quint64 value) { qToLittleEndian(value, room(8)); }
    void i64(qint64 value) { u64(quint64(value)); }
    void count(quint64 value)
    {
        while (value >= 0x80) {
            u8(quint8(value) | 0x80);
            value >>= 7;
        }
        u8(quint8(value));
    }
    void text(QStringView text)
    {
        const qsizetype size = text.size();
        const char16_t* const chars = text.utf16();
        qsizetype ascii = 0;
        while (ascii < size && chars[ascii] < 0x80)
            ++ascii;
        // The count's lowest bit tells one byte a character (ASCII) from two (UTF-16, which keeps
        // whatever the text holds, even half a surrogate pair a name could bring).
        if (ascii == size) {
            count(quint64(size) << 1);
            char* out = room(size);
            for (qsizetype index = 0; index < size; ++index)
                out[index] = char(chars[index]);
            return;
        }
        count(quint64(size) << 1 | 1);
        qToLittleEndian<quint16>(chars, size, room(size * 2));
    }
    void time(const QDateTime& time) { i64(time.isValid() ? time.toMSecsSinceEpoch() : 0); }
};

// The texts many entries share, each kept once and named by its place.
class TextTable {
public:
    QList<QString> texts;

    quint32 place(const QString& text, int field)
    {
        Recent& recent = m_recent[field];
        if (recent.valid && recent.text == text)
            return recent.place;
        auto found = m_places.constFind(text);
        if (found == m_places.constEnd()) {
            found = m_places.insert(text, quint32(texts.size()));
            texts.append(text);
        }
        recent = {true, text, *found};
        return *found;
    }

private:
    // Entries come folder by folder, so the last text of a field is nearly always the next one.
    struct Recent {
        bool valid = false;
        QString text;
        quint32 place = 0;
    };
    QHash<QString, quint32> m_places;
    Recent m_recent[4];
};

enum TableField { kFolderField, kBaseField, kDomainField, kTypeField };

QStringView lastPart(const QString& path)
{
    return QStringView(path).sliced(path.lastIndexOf(QLatin1Char('/')) + 1);
}

void writeEntry(Writer& out, TextTable& table, const FileEntry& entry)
{
    const FileLocation& location = entry.fullPath;
    Location kind = Location::Url;
    if (location.otherUrl().isEmpty())
        kind = location.relative() == entry.relativePath ? Location::BelowFolderAtPath : Location::BelowFolder;
    const bool filenameIsLast = lastPart(entry.relativePath) == entry.filename;
    quint8 flags = quint8(quint8(kind) << kLocationShift);
    if (filenameIsLast)
        flags |= kFilenameIsLast;
    if (entry.filenameDate)
        flags |= kHasFilenameDate;
    if (entry.domain)
        flags |= kHasDomain;
    if (entry.fileType)
        flags |= kHasFileType;
    out.u8(flags);
    out.u8(quint8(entry.source));
    out.text(entry.relativePath);
    if (!filenameIsLast)
        out.text(entry.filename);
    out.count(table.place(entry.parentFolder, kFolderField));
    out.time(entry.creationDate);
    out.time(entry.modificationDate);
    out.i64(entry.size);
    if (entry.filenameDate)
        out.time(*entry.filenameDate);
    if (entry.domain)
        out.count(table.place(*entry.domain, kDomainField));
    if (entry.fileType)
        out.count(table.place(*entry.fileType, kTypeField));
    switch (kind) {
    case Location::BelowFolderAtPath:
        out.count(table.place(location.base(), kBaseField));
        break;
    case Location::BelowFolder:
        out.count(table.place(location.base(), kBaseField));
        out.text(location.relative());
        break;
    case Location::Url:
        out.text(location.otherUrl().toString(QUrl::FullyEncoded));
        break;
    }
}

void writeId(Writer& out, const QUuid& id)
{
    out.u32(id.data1);
    out.u32(quint32(id.data2) | quint32(id.data3) << 16);
    char* bytes = out.room(8);
    std::memcpy(bytes, id.data4, 8);
}

// Every read is checked against the end; the first that fails fails all that follow.
class Reader {
public:
    Reader(const char* begin, const char* end) : m_at(begin), m_end(end) {}

    bool ok() const { return m_ok; }
    qsizetype left() const { return m_end - m_at; }
    const char* at() const { return m_at; }
    void fail() { m_ok = false; }

    const char* take(qsizetype count)
    {
        if (!m_ok || left() < count) {
            m_ok = false;
            return nullptr;
        }
        const char* taken = m_at;
        m_at += count;
        return taken;
    }
    quint8 u8()
    {
        const char* at = take(1);
        return at ? quint8(*at) : 0;
    }
    quint32 u32()
    {
        const char* at = take(4);
        return at ? qFromLittleEndian<quint32>(at) : 0;
    }
    quint64 u64()
    {
        const char* at = take(8);
        return at ? read64(at) : 0;
    }
    quint64 count()
    {
        quint64 value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const quint8 byte = u8();
            if (!m_ok)
                return 0;
            if (shift == 63 && byte > 1)
                break;
            value |= quint64(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        m_ok = false;
        return 0;
    }
    QString text()
    {
        const quint64 counted = count();
        const bool wide = counted & 1;
        const quint64 size = counted >> 1;
        if (!m_ok || size > quint64(left()) >> (wide ? 1 : 0)) {
            m_ok = false;
            return {};
        }
        if (!wide)
            return QString::fromLatin1(take(qsizetype(size)), qsizetype(size));
        QString text(qsizetype(size), Qt::Uninitialized);
        qFromLittleEndian<quint16>(take(qsizetype(size) * 2), qsizetype(size), text.data());
        return text;
    }
    QDateTime time()
    {
        const qint64 ms = qint64(u64());
        return QDateTime::fromMSecsSinceEpoch(std::clamp(ms, earliestMs(), latestMs()), Qt::UTC);
    }

private:
    const char* m_at;
    const char* m_end;
    bool m_ok = true;
};

// A path below a folder that stays below it: no empty, "." or ".." part, no slash at either end.
bool isPlainRelativePath(QStringView path)
{
    qsizetype partStart = 0;
    for (qsizetype index = 0; index <= path.size(); ++index) {
        if (index < path.size() && path[index] != QLatin1Char('/'))
            continue;
        const QStringView part = path.sliced(partStart, index - partStart);
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
        partStart = index + 1;
    }
    return true;
}

class TableReader {
public:
    QList<QString> texts;

    std::optional<QString> text(Reader& in)
    {
        const quint64 place = in.count();
        if (!in.ok() || place >= quint64(texts.size())) {
            in.fail();
            return std::nullopt;
        }
        return texts.at(qsizetype(place));
    }
    // A folder the listings could have listed under: absolute and plain. Each is checked once.
    std::optional<QString> base(Reader& in)
    {
        const quint64 place = in.count();
        if (!in.ok() || place >= quint64(texts.size())) {
            in.fail();
            return std::nullopt;
        }
        if (m_baseChecked.empty())
            m_baseChecked.assign(size_t(texts.size()), 0);
        quint8& checked = m_baseChecked[size_t(place)];
        const QString& base = texts.at(qsizetype(place));
        if (checked == 0)
            checked = base.startsWith(QLatin1Char('/')) && QDir::cleanPath(base) == base ? 1 : 2;
        if (checked != 1) {
            in.fail();
            return std::nullopt;
        }
        return base;
    }

private:
    std::vector<quint8> m_baseChecked;  // 0 not yet, 1 plain, 2 refused
};

std::optional<FileLocation> readLocation(Reader& in, TableReader& table, Location kind, const QString& relativePath)
{
    if (kind == Location::Url) {
        const QString text = in.text();
        const QUrl url(text, QUrl::StrictMode);
        if (!in.ok() || text.isEmpty() || !url.isValid() || !FileEntry::isListedFileUrl(url))
            return std::nullopt;
        return FileLocation::below(url, relativePath);
    }
    const std::optional<QString> base = table.base(in);
    if (!base)
        return std::nullopt;
    const QString relative = kind == Location::BelowFolderAtPath ? relativePath : in.text();
    if (!in.ok())
        return std::nullopt;
    // "/" and a path below it would read as a network share's "//name".
    if (!relative.isEmpty() && (*base == QLatin1String("/") || !isPlainRelativePath(relative)))
        return std::nullopt;
    return FileLocation(*base, relative);
}

// Into an entry already in its list: a million of them moved once more would cost a tenth of the read.
bool readEntry(Reader& in, TableReader& table, FileEntry& entry)
{
    const quint8 flags = in.u8();
    const quint8 source = in.u8();
    const auto kind = Location((flags >> kLocationShift) & 3);
    if (!in.ok() || (flags & ~kKnownFlags) || source > kLastSource || quint8(kind) > quint8(Location::Url))
        return false;
    entry.source = FileEntry::Source(source);
    entry.relativePath = in.text();
    if (flags & kFilenameIsLast) {
        const qsizetype slash = entry.relativePath.lastIndexOf(QLatin1Char('/'));
        entry.filename = slash < 0 ? entry.relativePath : entry.relativePath.sliced(slash + 1);
    } else {
        entry.filename = in.text();
    }
    std::optional<QString> folder = table.text(in);
    if (!folder)
        return false;
    entry.parentFolder = std::move(*folder);
    entry.creationDate = in.time();
    entry.modificationDate = in.time();
    entry.size = qint64(in.u64());
    if (flags & kHasFilenameDate)
        entry.filenameDate = in.time();
    if (flags & kHasDomain) {
        entry.domain = table.text(in);
        if (!entry.domain)
            return false;
    }
    if (flags & kHasFileType) {
        entry.fileType = table.text(in);
        if (!entry.fileType)
            return false;
    }
    if (!in.ok())
        return false;
    std::optional<FileLocation> location = readLocation(in, table, kind, entry.relativePath);
    if (!location)
        return false;
    entry.fullPath = std::move(*location);
    return true;
}

QUuid readId(Reader& in)
{
    const quint32 first = in.u32();
    const quint32 middle = in.u32();
    const char* rest = in.take(8);
    if (!rest)
        return {};
    const auto byte = [rest](int index) { return uchar(rest[index]); };
    return QUuid(first, ushort(middle), ushort(middle >> 16), byte(0), byte(1), byte(2), byte(3), byte(4), byte(5),
                 byte(6), byte(7));
}

DecodeError notACache(const QString& why)
{
    return DecodeError{QStringLiteral("The scan cache is damaged or not a scan cache: %1").arg(why)};
}

}  // namespace

ScanCacheFormat::Encoded ScanCacheFormat::encode(const QList<FileEntry>& vault, const QList<FileEntry>& remotes,
                                                 const QDateTime& savedAt)
{
    // The entries first, as the table fills; the table is then written ahead of them.
    TextTable table;
    Writer entries;
    entries.bytes.reserve((vault.size() + remotes.size()) * 64 + 64);
    for (const QList<FileEntry>* list : {&vault, &remotes})
        for (const FileEntry& entry : *list)
            writeEntry(entries, table, entry);

    Writer content;
    content.bytes.reserve(entries.bytes.size() + table.texts.size() * 32 + 64);
    content.count(quint64(vault.size()));
    content.count(quint64(remotes.size()));
    content.count(quint64(table.texts.size()));
    for (const QString& text : std::as_const(table.texts))
        content.text(text);
    std::memcpy(content.room(entries.bytes.size()), entries.bytes.constData(), size_t(entries.bytes.size()));
    entries.bytes = QByteArray();

    Encoded encoded;
    encoded.listingDigest = fingerprint(content.bytes.constData(), content.bytes.size());
    Writer file;
    const qsizetype idBytes = (vault.size() + remotes.size()) * kIdBytes;
    const qsizetype payloadBytes = 8 + 8 + content.bytes.size() + idBytes;
    file.bytes.reserve(kHeaderBytes + payloadBytes + kChecksumBytes);
    std::memcpy(file.room(8), kMagic, 8);
    file.u32(kVersion);
    file.u32(0);
    file.u64(quint64(payloadBytes));
    file.u64(encoded.listingDigest);
    file.time(savedAt);
    file.u64(quint64(content.bytes.size()));
    std::memcpy(file.room(content.bytes.size()), content.bytes.constData(), size_t(content.bytes.size()));
    content.bytes = QByteArray();
    for (const QList<FileEntry>* list : {&vault, &remotes})
        for (const FileEntry& entry : *list)
            writeId(file, entry.id);
    file.u64(fingerprint(file.bytes.constData(), file.bytes.size()));
    encoded.bytes = std::move(file.bytes);
    return encoded;
}

quint64 ScanCacheFormat::checksum(QByteArrayView bytes)
{
    return fingerprint(bytes.data(), bytes.size());
}

std::expected<ScanCache, DecodeError> ScanCacheFormat::decode(QByteArrayView bytes)
{
    if (bytes.size() < kHeaderBytes + kChecksumBytes || std::memcmp(bytes.data(), kMagic, 8) != 0)
        return std::unexpected(notACache(QStringLiteral("no scan cache header")));
    Reader header(bytes.data() + 8, bytes.data() + kHeaderBytes);
    const quint32 version = header.u32();
    const quint32 flags = header.u32();
    const quint64 payloadBytes = header.u64();
    const quint64 listingDigest = header.u64();
    if (version != kVersion || flags != 0)
        return std::unexpected(notACache(QStringLiteral("version %1").arg(version)));
    if (payloadBytes != quint64(bytes.size() - kHeaderBytes - kChecksumBytes))
        return std::unexpected(notACache(QStringLiteral("cut short or overlong")));
    const qsizetype checked = bytes.size() - kChecksumBytes;
    if (fingerprint(bytes.data(), checked) != read64(bytes.data() + checked))
        return std::unexpected(notACache(QStringLiteral("checksum mismatch")));

    Reader in(bytes.data() + kHeaderBytes, bytes.data() + checked);
    ScanCache cache;
    cache.savedAt = in.time();
    const quint64 contentBytes = in.u64();
    if (!in.ok() || contentBytes > quint64(in.left()))
        return std::unexpected(notACache(QStringLiteral("listing size")));
    const char* const contentStart = in.at();
    Reader content(contentStart, contentStart + contentBytes);
    const quint64 vaultCount = content.count();
    const quint64 remoteCount = content.count();
    const quint64 tableCount = content.count();
    const quint64 leastBytes = quint64(content.left()) / kLeastEntryBytes;
    if (!content.ok() || vaultCount > leastBytes || remoteCount > leastBytes || tableCount > quint64(content.left()))
        return std::unexpected(notACache(QStringLiteral("counts")));
    TableReader table;
    table.texts.reserve(qsizetype(tableCount));
    for (quint64 index = 0; index < tableCount && content.ok(); ++index)
        table.texts.append(content.text());
    const auto readList = [&content, &table](quint64 count, QList<FileEntry>& list) {
        list.reserve(qsizetype(count));
        // A million entries are a quarter of a gigabyte, touched once each as they are read.
        LargePages::prefer(list.data(), size_t(count) * sizeof(FileEntry));
        for (quint64 index = 0; index < count; ++index)
            if (!readEntry(content, table, list.emplaceBack()))
                return false;
        return true;
    };
    if (!content.ok() || !readList(vaultCount, cache.vaultFiles) || !readList(remoteCount, cache.remoteFiles)
        || content.left() != 0)
        return std::unexpected(notACache(QStringLiteral("entries")));
    (void)in.take(qsizetype(contentBytes));
    if (quint64(in.left()) != (vaultCount + remoteCount) * kIdBytes)
        return std::unexpected(notACache(QStringLiteral("ids")));
    for (QList<FileEntry>* list : {&cache.vaultFiles, &cache.remoteFiles})
        for (FileEntry& entry : *list)
            entry.id = readId(in);
    cache.listingDigest = listingDigest;
    return cache;
}

}  // namespace harkwell
