// The local listings: the walk with its rules, the vault and workspace listings built on it, and
// the special folders' lists.

#include "VaultFixture.h"
#include "support/SlowMount.h"
#include "platform/clock/FakeClock.h"
#include "foundation/Settings.h"
#include "platform/walk/TreeWalk.h"
#include "platform/walk/WatchShortage.h"
#include "vault/FileScanner.h"
#include "vault/ListingMemory.h"
#include "vault/SpecialFolders.h"
#include "vault/SpotlightScanner.h"

#include <QTest>

#include <cerrno>
#include <cstdio>
#include <functional>

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace harkwell;
using test::VaultTree;

namespace {

// A clock that moves one second each time it is read: a walk checking its deadline before every
// entry then stops after a known number of entries.
class TickingClock final : public Clock {
public:
    explicit TickingClock(QDateTime start) : m_now(std::move(start)) {}
    QDateTime now() const override
    {
        const QDateTime current = m_now;
        m_now = m_now.addSecs(1);
        return current;
    }
    QCoro::Task<> sleep(std::chrono::milliseconds) override { co_return; }

private:
    mutable QDateTime m_now;
};

QStringList relativePaths(const WalkResult& result)
{
    QStringList paths;
    for (const WalkedFile& file : result.files)
        paths.append(file.relativePath());
    return paths;
}

QStringList relativePaths(const QList<FileEntry>& entries)
{
    QStringList paths;
    for (const FileEntry& entry : entries)
        paths.append(entry.relativePath);
    return paths;
}

// Runs `check` in a child process allowed `descriptors` open files (0: as many as this one) on
// its first `processors` processors (0: all of this one's), without the power to read what a
// folder's mode forbids when `unprivileged`. The child says on its error output what went wrong.
bool passesInChild(const std::function<bool()>& check, int descriptors, int processors = 0, bool unprivileged = false)
{
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        if (descriptors > 0) {
            const struct rlimit limit {rlim_t(descriptors), rlim_t(descriptors)};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
                ::_exit(2);
        }
        if (processors > 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            for (int cpu = 0; cpu < processors; ++cpu)
                CPU_SET(cpu, &set);
            if (::sched_setaffinity(0, sizeof set, &set) != 0)
                ::_exit(3);
        }
        if (unprivileged && ::geteuid() == 0) {
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct data[2]{};
            if (::syscall(SYS_capget, &header, data) != 0)
                ::_exit(4);
            for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
                data[capability / 32].effective &= ~(1u << (capability % 32));
            if (::syscall(SYS_capset, &header, data) != 0)
                ::_exit(4);
        }
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child)
        return false;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "child ended with status %d\n", status);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// In a child process, where no test macro may return: the difference, on the error output.
bool same(const QStringList& actual, const QStringList& expected, const char* what)
{
    if (actual == expected)
        return true;
    std::fprintf(stderr, "%s: %lld paths, expected %lld; first: %s\n", what, qlonglong(actual.size()), qlonglong(expected.size()),
                 qPrintable(actual.value(0).left(200)));
    return false;
}

// A chain of `depth` folders named "d" below `root`, with "mid.md" halfway down and "leaf.md" at
// the bottom; made and removed one name at a time, since its paths are longer than any call takes.
bool makeChain(const QString& root, int depth)
{
    int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 1; fd >= 0 && level <= depth; ++level) {
        const int next = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
        if (fd >= 0 && (level == depth / 2 || level == depth)) {
            const int file = ::openat(fd, level == depth ? "leaf.md" : "mid.md", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (file < 0)
                return false;
            ::close(file);
        }
    }
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

void removeChain(const QString& root, int depth)
{
    int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 1; fd >= 0 && level <= depth; ++level) {
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    for (int level = depth; fd >= 0 && level >= 1; --level) {
        ::unlinkat(fd, "leaf.md", 0);
        ::unlinkat(fd, "mid.md", 0);
        const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = up;
        if (fd >= 0)
            ::unlinkat(fd, "d", AT_REMOVEDIR);
    }
    if (fd >= 0)
        ::close(fd);
}

const FileEntry* named(const QList<FileEntry>& entries, const QString& filename)
{
    for (const FileEntry& entry : entries)
        if (entry.filename == filename)
            return &entry;
    return nullptr;
}

}  // namespace

class VaultListingsTest : public QObject {
    Q_OBJECT
private slots:
    void init();

    void walkKeepsTheListingRules();
    void walkStopsAtDepthCapAndDeadline_data();
    void walkStopsAtDepthCapAndDeadline();
    void walkOfAMissingFolderFails();
    void entryNamesLeaveOutHiddenNames();
    void walkWithAMemoryAsksOnlyWhatChanged();
    void largeTreeKeepsTheWalkOrderAndEachFilesTimes();
    void foldersReadAheadAreWatchedLikeTheOthers();
    void firstWalkKeepsItsRulesFarFromTheRoot_data();
    void firstWalkKeepsItsRulesFarFromTheRoot();
    void walkListsEverythingWithinTheProcessLimits_data();
    void walkListsEverythingWithinTheProcessLimits();
    void unreadableFolderIsNamedAndKeepsItsEntries_data();
    void unreadableFolderIsNamedAndKeepsItsEntries();
    void listingWithAFolderStillUnreadableIsWholeAgain();
    void frozenMountHoldsAWalkOnlyUntilItsDeadline();
    void watchesOfFoldersAWalkNeverReachedAreKept();
    void watchesThatRunOutAreSaidOnceAndNotAskedAgain_data();
    void watchesThatRunOutAreSaidOnceAndNotAskedAgain();

    void vaultEntriesCarryPathsDatesAndLabels();
    void vaultBehindASymbolicLinkIsListedAtItsTarget();
    void vaultInsideAHiddenFolderIsListed();
    void workspaceEntriesUseTheModificationTime();
    void emptyIncludeSetListsNothing();

    void specialFoldersAreDatedByNameThenFolderThenTime();
    void specialFoldersLeaveOutHiddenArchivedAndTopReadme();
    void inboxListsOnlyItsOwnFiles();
    void missingSpecialFolderIsEmpty();

    void deepListingHasNoDateLimitAndDropsExcludedNames();

private:
    std::unique_ptr<test::TempHome> m_home;
    QDateTime m_now;
    QString m_root;
};

void VaultListingsTest::init()
{
    m_home.reset();  // first: a home restores the HOME it found
    m_home = std::make_unique<test::TempHome>();
    m_now = QDateTime::currentDateTimeUtc();
    m_root = m_home->make(QStringLiteral("Vault"));
}

void VaultListingsTest::walkKeepsTheListingRules()
{
    const QDateTime recent = m_now.addDays(-2);
    for (const char* name : {"a.md", "b.txt", "C.MD", "_inbox/x.md", "sub/_inbox/y.md", "sub/c.md", ".obsidian/conf.md",
                             "sub/.hidden.md", "folder.md/d.md", "sub/_archive/e.md"})
        VaultTree::file(m_root, QString::fromLatin1(name), recent);
    VaultTree::file(m_root, QStringLiteral("old.md"), m_now.addDays(-40));
    QVERIFY(QFile::link(m_root + QStringLiteral("/a.md"), m_root + QStringLiteral("/link.md")));
    QVERIFY(QFile::link(m_root + QStringLiteral("/sub"), m_root + QStringLiteral("/dirlink")));

    WalkRules rules;
    rules.prunedNames = {QStringLiteral("_inbox"), QStringLiteral("_archive")};
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    rules.modifiedSince = m_now.addDays(-30);
    FakeClock clock;
    const auto walked = TreeWalk::walk(m_root, rules, clock, clock.now().addSecs(10));
    QVERIFY(walked);
    QVERIFY(!walked->stoppedAtDeadline);
    // Depth first, byte order: "folder.md" is a folder, so only what is inside it counts.
    QCOMPARE(relativePaths(*walked), (QStringList{"a.md", "folder.md/d.md", "sub/c.md"}));

    const WalkedFile& first = walked->files.front();
    QCOMPARE(first.relative.toByteArray(), QByteArray("a.md"));
    QCOMPARE(first.modified().toSecsSinceEpoch(), recent.toSecsSinceEpoch());
}

void VaultListingsTest::walkStopsAtDepthCapAndDeadline_data()
{
    QTest::addColumn<int>("maxDepth");  // 0: none
    QTest::addColumn<int>("maxFiles");  // 0: none
    QTest::addColumn<int>("deadlineSeconds");  // after the first reading of the clock
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("stoppedAtDeadline");

    QTest::newRow("everything") << 0 << 0 << 1000 << QStringList{"1.md", "2.md", "3.md", "d/4.md", "d/e/5.md"} << false;
    QTest::newRow("own files only") << 1 << 0 << 1000 << QStringList{"1.md", "2.md", "3.md"} << false;
    QTest::newRow("two levels") << 2 << 0 << 1000 << QStringList{"1.md", "2.md", "3.md", "d/4.md"} << false;
    QTest::newRow("capped") << 0 << 2 << 1000 << QStringList{"1.md", "2.md"} << false;
    // The clock is read once for the deadline's base, then before each entry.
    QTest::newRow("deadline midway") << 0 << 0 << 3 << QStringList{"1.md", "2.md"} << true;
    QTest::newRow("deadline at once") << 0 << 0 << 1 << QStringList{} << true;
}

void VaultListingsTest::walkStopsAtDepthCapAndDeadline()
{
    QFETCH(int, maxDepth);
    QFETCH(int, maxFiles);
    QFETCH(int, deadlineSeconds);
    QFETCH(QStringList, expected);
    QFETCH(bool, stoppedAtDeadline);

    for (const char* name : {"1.md", "2.md", "3.md", "d/4.md", "d/e/5.md"})
        VaultTree::file(m_root, QString::fromLatin1(name), m_now);
    WalkRules rules;
    if (maxDepth)
        rules.maxDepth = maxDepth;
    if (maxFiles)
        rules.maxFiles = maxFiles;
    TickingClock clock(m_now);
    const auto walked = TreeWalk::walk(m_root, rules, clock, clock.now().addSecs(deadlineSeconds));
    QVERIFY(walked);
    QCOMPARE(relativePaths(*walked), expected);
    QCOMPARE(walked->stoppedAtDeadline, stoppedAtDeadline);
    QCOMPARE(walked->complete(), !stoppedAtDeadline);
}

void VaultListingsTest::walkOfAMissingFolderFails()
{
    FakeClock clock;
    const auto walked = TreeWalk::walk(m_root + QStringLiteral("/missing"), {}, clock, clock.now().addSecs(10));
    QVERIFY(!walked);
    QVERIFY2(walked.error().text.contains(QStringLiteral("/missing")), qPrintable(walked.error().text));
}

void VaultListingsTest::entryNamesLeaveOutHiddenNames()
{
    m_home->make(QStringLiteral("Vault/b mount"));
    m_home->make(QStringLiteral("Vault/.hidden"));
    VaultTree::file(m_root, QStringLiteral("a.md"), m_now);
    QCOMPARE(TreeWalk::entryNames(m_root).value_or(QStringList{"failed"}), (QStringList{"a.md", "b mount"}));
    QVERIFY(!TreeWalk::entryNames(m_root + QStringLiteral("/none")));
}

// Folders dated a minute back, so that a walk takes them as settled.
void ageFolders(const QString& root, const QStringList& relatives, const QDateTime& when)
{
    for (const QString& relative : relatives) {
        const struct timespec times[2] = {{when.toSecsSinceEpoch(), 0}, {when.toSecsSinceEpoch(), 0}};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(root + QLatin1Char('/') + relative).constData(), times, 0) == 0);
    }
}

// Appends to the file and dates it `when`: written in place, its folder's time stays as it was.
void writeInPlace(const QString& path, const QDateTime& when)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write("more");
    file.flush();
    QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
}

void VaultListingsTest::walkWithAMemoryAsksOnlyWhatChanged()
{
    const QDateTime recent = m_now.addDays(-2);
    for (const char* name : {"a.md", "sub/b.md", "sub/c.md", "other/d.md"})
        VaultTree::file(m_root, QString::fromLatin1(name), recent);
    const QStringList folders{"", "sub", "other"};
    ageFolders(m_root, folders, m_now.addSecs(-60));
    WalkRules rules;
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    rules.modifiedSince = m_now.addDays(-30);
    FakeClock clock(m_now);
    WalkMemory memory;
    const auto walk = [&] { return TreeWalk::walk(m_root, rules, clock, QDateTime(), &memory).value_or(WalkResult{}); };
    const auto previous = [](const WalkResult& result) {
        QList<qsizetype> indexes;
        for (const WalkedFile& file : result.files)
            indexes.append(file.previous);
        return indexes;
    };

    const WalkResult first = walk();
    QCOMPARE(relativePaths(first), (QStringList{"a.md", "other/d.md", "sub/b.md", "sub/c.md"}));
    QCOMPARE(previous(first), (QList<qsizetype>{-1, -1, -1, -1}));
    QCOMPARE(first.filesStatted, 4);

    // Nothing changed: no folder is read and no file asked again, and every file is the one listed before.
    const WalkResult second = walk();
    QCOMPARE(relativePaths(second), relativePaths(first));
    QCOMPARE(previous(second), (QList<qsizetype>{0, 1, 2, 3}));
    QCOMPARE(second.filesStatted, 0);
    QCOMPARE(second.foldersRead, 0);

    // A file written in place leaves its folder's time alone; the new time is seen all the same.
    writeInPlace(m_root + QStringLiteral("/sub/b.md"), m_now.addSecs(-5));
    const WalkResult third = walk();
    QCOMPARE(relativePaths(third), relativePaths(first));
    QCOMPARE(third.files.at(2).modified().toSecsSinceEpoch(), m_now.addSecs(-5).toSecsSinceEpoch());
    QCOMPARE(previous(third), (QList<qsizetype>{0, 1, -1, 3}));
    QCOMPARE(third.filesStatted, 2);  // the two files of the folder that changed

    // A file gone and one added, in different folders.
    QVERIFY(QFile::remove(m_root + QStringLiteral("/other/d.md")));
    VaultTree::file(m_root, QStringLiteral("sub/new.md"), recent);
    const WalkResult fourth = walk();
    QCOMPARE(relativePaths(fourth), (QStringList{"a.md", "sub/b.md", "sub/c.md", "sub/new.md"}));
    QCOMPARE(previous(fourth), (QList<qsizetype>{0, 2, 3, -1}));
}

// A tree large enough that the times are asked and the entries built on several threads: the
// listing still comes in the walk's order, each entry with its own file's path and times.
void VaultListingsTest::largeTreeKeepsTheWalkOrderAndEachFilesTimes()
{
    QStringList expected;
    QHash<QString, qint64> modifiedAt;
    const qint64 now = m_now.toSecsSinceEpoch();
    int n = 0;
    const auto write = [&](const QString& relative) {
        const QString path = m_root + QLatin1Char('/') + relative;
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        // Every seventh file is older than the look-back; the others each have a time of their own.
        const qint64 modified = n % 7 == 3 ? now - 40 * 86400 : now - 3600 - n;
        const struct timespec times[2] = {{time_t(now), 0}, {time_t(modified), 0}};
        ::futimens(fd, times);
        ::close(fd);
        if (n % 7 != 3) {
            expected.append(relative);
            modifiedAt.insert(relative, modified);
        }
        ++n;
    };
    // In each folder: names before its subfolder's, the subfolder's own, then names after it. Enough
    // files that the walk's growing blocks of them number more than two.
    for (int folder = 0; folder < 64; ++folder) {
        const QString base = QStringLiteral("f%1").arg(folder, 2, 10, QLatin1Char('0'));
        QVERIFY(QDir().mkpath(m_root + QLatin1Char('/') + base + QStringLiteral("/m")));
        for (int i = 0; i < 100; ++i)
            write(base + QStringLiteral("/a%1.md").arg(i, 3, 10, QLatin1Char('0')));
        for (int i = 0; i < 10; ++i)
            write(base + QStringLiteral("/m/%1.md").arg(i));
        for (int i = 0; i < 100; ++i)
            write(base + QStringLiteral("/z%1.md").arg(i, 3, 10, QLatin1Char('0')));
    }
    QVERIFY(expected.size() > 11000);

    ListingMemory memory;
    const auto scan = [&] {
        return SpotlightScanner::scanVault(m_root, m_now.addDays(-30), {QStringLiteral("md")}, {}, Clock::system(), &memory)
            .value_or(QList<FileEntry>());
    };
    const QList<FileEntry> entries = scan();
    QCOMPARE(relativePaths(entries), expected);
    for (const FileEntry& entry : entries) {
        QCOMPARE(entry.modificationDate.toSecsSinceEpoch(), modifiedAt.value(entry.relativePath));
        QCOMPARE(entry.filename, entry.relativePath.section(QLatin1Char('/'), -1));
        QCOMPARE(entry.parentFolder, entry.relativePath.section(QLatin1Char('/'), -2, -2));
        QCOMPARE(entry.fullPath.toLocalFile(), m_root + QLatin1Char('/') + entry.relativePath);
    }
    QCOMPARE(memory.rebuilt, entries.size());

    // Listed again with nothing changed: the very same list.
    QVERIFY(scan().isSharedWith(entries));
}

// Past its first few folders a walk reads the next ones ahead on threads of its own: they come in
// the same order, and are watched as the walk's own are, so that a walk with nothing changed reads
// no folder and asks no file again, and a file changed in place deep down is seen.
void VaultListingsTest::foldersReadAheadAreWatchedLikeTheOthers()
{
    QStringList expected;
    QStringList folders;
    for (int top = 0; top < 8; ++top)
        for (int sub = 0; sub < 8; ++sub) {
            const QString folder = QStringLiteral("t%1/s%2").arg(top).arg(sub);
            folders << QStringLiteral("t%1").arg(top) << folder;
            for (const char* name : {"a.md", "b.md"}) {
                VaultTree::file(m_root, folder + QLatin1Char('/') + QLatin1String(name), m_now.addDays(-2));
                expected << folder + QLatin1Char('/') + QLatin1String(name);
            }
        }
    folders.removeDuplicates();
    ageFolders(m_root, QStringList{""} + folders, m_now.addSecs(-60));
    WalkRules rules;
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    FakeClock clock(m_now);
    WalkMemory memory;
    const auto walk = [&] { return TreeWalk::walk(m_root, rules, clock, QDateTime(), &memory).value_or(WalkResult{}); };

    const WalkResult first = walk();
    QCOMPARE(relativePaths(first), expected);
    QCOMPARE(first.foldersRead, 1 + folders.size());

    const WalkResult second = walk();
    QCOMPARE(relativePaths(second), expected);
    QCOMPARE(second.foldersRead, 0);
    QCOMPARE(second.filesStatted, 0);

    writeInPlace(m_root + QStringLiteral("/t7/s7/b.md"), m_now.addSecs(-5));
    const WalkResult third = walk();
    QCOMPARE(relativePaths(third), expected);
    QCOMPARE(third.files.back().modified().toSecsSinceEpoch(), m_now.addSecs(-5).toSecsSinceEpoch());
    QCOMPARE(third.filesStatted, 2);
}

void VaultListingsTest::watchesThatRunOutAreSaidOnceAndNotAskedAgain_data()
{
    QTest::addColumn<int>("refusal");  // what asking for one more watch gives: 0 a watch, else the errno
    QTest::addColumn<bool>("ranOut");

    QTest::newRow("no watch left") << ENOSPC << true;
    QTest::newRow("a watch is free again") << 0 << false;
    QTest::newRow("refused for another reason") << EACCES << false;
}

void VaultListingsTest::watchesThatRunOutAreSaidOnceAndNotAskedAgain()
{
    QFETCH(int, refusal);
    QFETCH(bool, ranOut);

    for (const char* folder : {"a/x.md", "b/y.md", "c/z.md"})
        VaultTree::file(m_root, QLatin1String(folder), m_now.addDays(-2));
    ageFolders(m_root, {"", "a", "b", "c"}, m_now.addSecs(-60));
    WalkRules rules;
    FakeClock clock(m_now);
    WalkMemory memory;
    const auto walk = [&] { return TreeWalk::walk(m_root, rules, clock, QDateTime(), &memory).value_or(WalkResult{}); };
    QCOMPARE(walk().files.size(), size_t(3));
    // Two of the four folders lost their watches, as when the system had none left for them.
    for (auto& [relative, folder] : memory.m_folders)
        if (relative == "b" || relative == "c")
            memory.forget(relative, folder);

    QStringList logged;
    QList<QByteArray> asked;
    WatchShortage shortage(
        [&](int, const QByteArray& path) {
            asked.append(path);
            errno = refusal;
            return refusal == 0 ? 99 : -1;
        },
        [&](const QString& line) { logged.append(line); });
    QCOMPARE(shortage.check(QFile::encodeName(m_root), memory), ranOut);
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked.first() == QFile::encodeName(m_root) + "/b" || asked.first() == QFile::encodeName(m_root) + "/c");
    if (!ranOut) {
        QVERIFY(logged.isEmpty());
        return;
    }
    QVERIFY(!shortage.check(QFile::encodeName(m_root), memory));  // the memory asks for no more
    QCOMPARE(asked.size(), 1);
    QCOMPARE(logged.size(), 1);
    QVERIFY2(logged.first().contains("2 folders watched and 2 not") && logged.first().contains("fs.inotify.max_user_watches"),
             qPrintable(logged.first()));

    // The walks go on without watches for those folders, and without asking for them again.
    writeInPlace(m_root + QStringLiteral("/b/y.md"), m_now.addSecs(-5));
    QCOMPARE(walk().files.size(), size_t(3));
    QCOMPARE(walk().files.size(), size_t(3));
    int unwatched = 0;
    for (const auto& [relative, folder] : memory.m_folders)
        unwatched += folder.watch < 0 ? 1 : 0;
    QCOMPARE(unwatched, 2);
}

void VaultListingsTest::firstWalkKeepsItsRulesFarFromTheRoot_data()
{
    QTest::addColumn<bool>("withMemory");
    QTest::addColumn<int>("maxDepth");  // 0: none

    QTest::newRow("no memory") << false << 0;
    QTest::newRow("empty memory") << true << 0;
    QTest::newRow("no memory, three levels") << false << 3;
    QTest::newRow("empty memory, three levels") << true << 3;
}

// A first walk reads most of a large tree on threads that go on into subfolders by themselves:
// there, as near the root, hidden and pruned names are passed over, links are not followed, files
// of other extensions are not listed, old files are left out and the depth cap holds.
void VaultListingsTest::firstWalkKeepsItsRulesFarFromTheRoot()
{
    QFETCH(bool, withMemory);
    QFETCH(int, maxDepth);

    QStringList expected;
    for (int top = 0; top < 24; ++top) {
        const QString base = QStringLiteral("t%1/").arg(top, 2, 10, QLatin1Char('0'));
        for (const char* name : {".hid/h.md", "_outbox/o.md", "a.md", "d1/b.md", "d1/d2/c.md", "x.txt"})
            VaultTree::file(m_root, base + QLatin1String(name), m_now.addDays(-2));
        VaultTree::file(m_root, base + QStringLiteral("d1/old.md"), m_now.addDays(-40));
        const QString folder = m_root + QLatin1Char('/') + base;
        QVERIFY(QFile::link(folder + QStringLiteral("d1"), folder + QStringLiteral("link")));
        expected << base + QStringLiteral("a.md") << base + QStringLiteral("d1/b.md");
        if (maxDepth == 0)
            expected << base + QStringLiteral("d1/d2/c.md");
    }
    WalkRules rules;
    rules.prunedNames = {QStringLiteral("_outbox")};
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    rules.modifiedSince = m_now.addDays(-30);
    if (maxDepth)
        rules.maxDepth = maxDepth;
    FakeClock clock(m_now);
    WalkMemory memory;
    const auto walked = TreeWalk::walk(m_root, rules, clock, QDateTime(), withMemory ? &memory : nullptr);
    QVERIFY(walked);
    QCOMPARE(relativePaths(*walked), expected);
    for (const WalkedFile& file : walked->files)
        QCOMPARE(file.modified().toSecsSinceEpoch(), m_now.addDays(-2).toSecsSinceEpoch());
}

void VaultListingsTest::walkListsEverythingWithinTheProcessLimits_data()
{
    QTest::addColumn<bool>("deep");  // a chain of 30,000 folders, else a wide tree of 4,608 files
    QTest::addColumn<bool>("withMemory");
    QTest::addColumn<int>("descriptors");  // 0: as the test runs
    QTest::addColumn<int>("processors");   // 0: as the test runs

    QTest::newRow("wide, 64 descriptors") << false << false << 64 << 0;
    QTest::newRow("wide, with a memory, 64 descriptors") << false << true << 64 << 0;
    QTest::newRow("deep, 64 descriptors") << true << false << 64 << 0;
    QTest::newRow("deep, with a memory, 64 descriptors") << true << true << 64 << 0;
    QTest::newRow("wide, on 2 processors") << false << false << 0 << 2;
}

// A walk holds a few descriptors whatever the tree, waits for one rather than leave a folder out
// when the process has none to spare, lists a tree of any depth, and starts no more threads than
// the processors it may run on.
void VaultListingsTest::walkListsEverythingWithinTheProcessLimits()
{
    QFETCH(bool, deep);
    QFETCH(bool, withMemory);
    QFETCH(int, descriptors);
    QFETCH(int, processors);

    constexpr int kLevels = 30000;
    QStringList expected;
    if (deep) {
        QVERIFY(makeChain(m_root, kLevels));
        // Depth first: "d" comes before "mid.md".
        expected << QStringLiteral("d/").repeated(kLevels) + QStringLiteral("leaf.md")
                 << QStringLiteral("d/").repeated(kLevels / 2) + QStringLiteral("mid.md");
    } else {
        // Three levels of folders: a walk that keeps a folder open while its subfolders wait to be
        // read would hold a hundred or more at once.
        for (int top = 0; top < 16; ++top)
            for (int middle = 0; middle < 8; ++middle)
                for (int sub = 0; sub < 4; ++sub)
                    for (int file = 0; file < 9; ++file) {
                        const QString path = QStringLiteral("t%1/m%2/s%3/%4.md").arg(top, 2, 10, QLatin1Char('0')).arg(middle).arg(sub).arg(file);
                        VaultTree::file(m_root, path, m_now.addDays(-1));
                        expected << path;
                    }
    }
    WalkRules rules;
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    const bool passed = passesInChild(
        [&] {
            FakeClock clock(m_now);
            WalkMemory memory;
            bool ok = true;
            for (int round = 0; round < (withMemory ? 2 : 1); ++round) {
                const auto walked = TreeWalk::walk(m_root, rules, clock, QDateTime(), withMemory ? &memory : nullptr);
                ok = ok && walked && same(relativePaths(*walked), expected, "listed") && walked->complete();
                if (ok && processors > 0 && walked->threadsStarted > processors) {
                    std::fprintf(stderr, "%lld threads on %d processors\n", qlonglong(walked->threadsStarted), processors);
                    ok = false;
                }
            }
            return ok;
        },
        descriptors, processors);
    if (deep)
        removeChain(m_root, kLevels);
    QVERIFY(passed);
}

void VaultListingsTest::unreadableFolderIsNamedAndKeepsItsEntries_data()
{
    QTest::addColumn<bool>("withMemory");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("first walk") << false << QStringList{"a.md", "z/d.md"};
    QTest::newRow("walked before") << true << QStringList{"a.md", "locked/b.md", "locked/in/c.md", "z/d.md"};
}

// A folder that is there but cannot be read is named once, leaves the listing incomplete, and
// keeps the entries the last walk found in it.
void VaultListingsTest::unreadableFolderIsNamedAndKeepsItsEntries()
{
    QFETCH(bool, withMemory);
    QFETCH(QStringList, expected);

    for (const char* name : {"a.md", "locked/b.md", "locked/in/c.md", "z/d.md"})
        VaultTree::file(m_root, QString::fromLatin1(name), m_now.addDays(-1));
    const QByteArray locked = QFile::encodeName(m_root + QStringLiteral("/locked"));
    WalkRules rules;
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    const bool passed = passesInChild(
        [&] {
            FakeClock clock(m_now);
            WalkMemory memory;
            if (withMemory && !TreeWalk::walk(m_root, rules, clock, QDateTime(), &memory).value_or(WalkResult{}).complete())
                return false;
            if (::chmod(locked.constData(), 0) != 0)
                return false;
            const auto walked = TreeWalk::walk(m_root, rules, clock, QDateTime(), withMemory ? &memory : nullptr);
            if (!walked || walked->complete() || walked->unreadable.size() != 1
                || !walked->unreadable.front().startsWith(QStringLiteral("locked: "))) {
                std::fprintf(stderr, "unreadable: %s\n", walked ? qPrintable(walked->unreadable.join(u'|')) : "no walk");
                return false;
            }
            return same(relativePaths(*walked), expected, "listed");
        },
        0, 0, true);
    ::chmod(locked.constData(), 0755);
    QVERIFY(passed);
}

// The first listing that cannot read a folder is incomplete; the next that finds it still
// unreadable, its entries kept from before, is as whole as it can be and stands like any other.
void VaultListingsTest::listingWithAFolderStillUnreadableIsWholeAgain()
{
    for (const char* name : {"a.md", "locked/b.md"})
        VaultTree::file(m_root, QString::fromLatin1(name), m_now.addDays(-1));
    const QByteArray locked = QFile::encodeName(m_root + QStringLiteral("/locked"));
    const bool passed = passesInChild(
        [&] {
            ListingMemory memory;
            QList<bool> whole;
            for (int round = 0; round < 3; ++round) {
                if (round == 1 && ::chmod(locked.constData(), 0) != 0)
                    return false;
                const auto listed = SpotlightScanner::scanVault(m_root, m_now.addDays(-30), {QStringLiteral("md")}, {},
                                                                Clock::system(), &memory);
                if (!listed || !same(relativePaths(*listed), {"a.md", "locked/b.md"}, "listed"))
                    return false;
                whole.append(listed->complete);
            }
            if (whole != QList<bool>{true, false, true}) {
                std::fprintf(stderr, "whole: %d %d %d\n", int(whole[0]), int(whole[1]), int(whole[2]));
                return false;
            }
            return true;
        },
        0, 0, true);
    ::chmod(locked.constData(), 0755);
    QVERIFY(passed);
}

// A mount inside the tree that does not answer holds the walk until its deadline at most, and the
// walks after it not at all while it still has not answered; the rest of the tree is listed.
void VaultListingsTest::frozenMountHoldsAWalkOnlyUntilItsDeadline()
{
    VaultTree::file(m_root, QStringLiteral("a.md"), m_now);
    VaultTree::file(m_root, QStringLiteral("z/b.md"), m_now);
    test::SlowMount mount(m_root + QStringLiteral("/m"), 600);
    QVERIFY2(mount.start(), qPrintable(mount.error()));
    WalkRules rules;
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    WalkMemory memory;
    const auto walk = [&] {
        return TreeWalk::walk(m_root, rules, Clock::system(), QDateTime::currentDateTimeUtc().addSecs(2), &memory)
            .value_or(WalkResult{});
    };

    const WalkResult first = walk();
    QVERIFY(first.stoppedAtDeadline);
    QCOMPARE(first.unreadable, QStringList{"m: not answering"});
    QCOMPARE(relativePaths(first), QStringList{"a.md"});

    const WalkResult second = walk();
    QVERIFY(!second.stoppedAtDeadline);
    QCOMPARE(second.unreadable, QStringList{"m: not answering"});
    QCOMPARE(relativePaths(second), (QStringList{"a.md", "z/b.md"}));
}

// The readers ahead of a walk watch the folders they read; a walk cut short before it reaches
// some of them still keeps their watches: every watch the system holds for its memory is known.
void VaultListingsTest::watchesOfFoldersAWalkNeverReachedAreKept()
{
    for (int top = 0; top < 8; ++top)
        for (int sub = 0; sub < 8; ++sub)
            VaultTree::file(m_root, QStringLiteral("t%1/s%2/a.md").arg(top).arg(sub), m_now);
    WalkRules rules;
    rules.extensions = QSet<QString>{QStringLiteral("md")};
    WalkMemory memory;
    TickingClock clock(m_now);
    const auto walked = TreeWalk::walk(m_root, rules, clock, clock.now().addSecs(40), &memory);
    QVERIFY(walked && walked->stoppedAtDeadline);

    const auto held = [&memory] {
        QFile info(QStringLiteral("/proc/self/fdinfo/%1").arg(memory.notices()));
        if (!info.open(QIODevice::ReadOnly))
            return qsizetype(-1);
        return qsizetype(info.readAll().count("inotify wd:"));
    };
    const auto known = [&memory] {
        memory.takeNotices();
        return qsizetype(memory.m_watched.size());
    };
    QVERIFY(held() > 0);
    QTRY_COMPARE(known(), held());
}

void VaultListingsTest::vaultEntriesCarryPathsDatesAndLabels()
{
    const QDateTime modified = m_now.addDays(-1);
    VaultTree::file(m_root, QStringLiteral("Meetings/Board/260115-board-meeting.md"), modified);
    VaultTree::file(m_root, QStringLiteral("top.md"), modified);
    const QString decomposed = QString::fromUtf8("260116-fo\xcc\x88rberedelse.md");
    VaultTree::file(m_root, QStringLiteral("_projects/") + decomposed, modified);

    const auto entries = SpotlightScanner::scanVault(m_root, m_now.addDays(-30), {QStringLiteral("md")},
                                                     {QStringLiteral("_outbox"), QStringLiteral("_inbox")}).value();
    QCOMPARE(entries.size(), 3);

    const FileEntry* meeting = named(entries, QStringLiteral("260115-board-meeting.md"));
    QVERIFY(meeting);
    QCOMPARE(meeting->relativePath, QStringLiteral("Meetings/Board/260115-board-meeting.md"));
    QCOMPARE(meeting->parentFolder, QStringLiteral("Board"));
    QCOMPARE(meeting->fullPath, QUrl::fromLocalFile(m_root + QStringLiteral("/Meetings/Board/260115-board-meeting.md")));
    QCOMPARE(meeting->source, FileEntry::Source::Vault);
    QCOMPARE(meeting->size, 0);
    QCOMPARE(meeting->modificationDate.toSecsSinceEpoch(), modified.toSecsSinceEpoch());
    // The birth time where the file system keeps one (just now), else the modification time.
    QVERIFY(meeting->creationDate.toSecsSinceEpoch() == modified.toSecsSinceEpoch()
            || meeting->creationDate.secsTo(m_now) < 600);
    QCOMPARE(*meeting->filenameDate, QDate(2026, 1, 15).startOfDay());  // the day at 00:00 local time
    QCOMPARE(meeting->domain, std::optional<QString>(QStringLiteral("board")));
    QCOMPARE(meeting->fileType, std::optional<QString>(QStringLiteral("board")));

    const FileEntry* top = named(entries, QStringLiteral("top.md"));
    QVERIFY(top);
    QCOMPARE(top->parentFolder, QStringLiteral("Vault"));
    QVERIFY(!top->filenameDate && !top->domain && !top->fileType);

    // The name comes back composed; the path keeps the stored spelling, so it still opens.
    const FileEntry* prepared = named(entries, QString::fromUtf8("260116-förberedelse.md"));
    QVERIFY(prepared);
    QCOMPARE(prepared->relativePath, QStringLiteral("_projects/") + decomposed);
    QCOMPARE(prepared->fileType, std::optional<QString>(QStringLiteral("preparation")));
    QCOMPARE(prepared->domain, std::optional<QString>(QStringLiteral("project")));
    QVERIFY(QFile::exists(prepared->fullPath.toLocalFile()));
}

void VaultListingsTest::vaultBehindASymbolicLinkIsListedAtItsTarget()
{
    VaultTree::file(m_root, QStringLiteral("notes/a.md"), m_now);
    const QString link = m_home->path() + QStringLiteral("/VaultLink");
    QVERIFY(QFile::link(QStringLiteral("Vault"), link));  // relative, as links often are

    const auto entries = SpotlightScanner::scanVault(link, m_now.addDays(-1), {QStringLiteral("md")}, {QStringLiteral("_inbox")}).value();
    QCOMPARE(relativePaths(entries), QStringList{"notes/a.md"});
    QCOMPARE(entries.first().fullPath.toLocalFile(), m_root + QStringLiteral("/notes/a.md"));
}

void VaultListingsTest::vaultInsideAHiddenFolderIsListed()
{
    const QString hidden = m_home->make(QStringLiteral(".local/share/Vault"));
    VaultTree::file(hidden, QStringLiteral("a.md"), m_now);
    VaultTree::file(hidden, QStringLiteral(".trash/b.md"), m_now);
    const auto entries = SpotlightScanner::scanVault(hidden, m_now.addDays(-1), {QStringLiteral("md")}, {QStringLiteral("_inbox")}).value();
    QCOMPARE(relativePaths(entries), QStringList{"a.md"});
}

void VaultListingsTest::workspaceEntriesUseTheModificationTime()
{
    const QString workspace = m_home->make(QStringLiteral("workspace"));
    const QDateTime modified = m_now.addDays(-3);
    VaultTree::file(workspace, QStringLiteral("project x/260201-standup.md"), modified);
    VaultTree::file(workspace, QStringLiteral("Ivander/vault-note.md"), modified);
    VaultTree::file(workspace, QStringLiteral("remotes/m/remote.md"), modified);
    VaultTree::file(workspace, QStringLiteral("stale.md"), m_now.addDays(-20));

    const auto entries = SpotlightScanner::scanWorkspace(workspace, workspace, m_now.addDays(-10), {QStringLiteral("md")},
                                                         {QStringLiteral("remotes"), QStringLiteral("Ivander")},
                                                         FileEntry::Source::Workspace).value();
    QCOMPARE(relativePaths(entries), QStringList{"project x/260201-standup.md"});
    const FileEntry& entry = entries.first();
    QCOMPARE(entry.creationDate, entry.modificationDate);
    QCOMPARE(entry.modificationDate.toSecsSinceEpoch(), modified.toSecsSinceEpoch());
    QCOMPARE(entry.source, FileEntry::Source::Workspace);
    QCOMPARE(entry.parentFolder, QStringLiteral("project x"));
    QCOMPARE(entry.fileType, std::optional<QString>(QStringLiteral("standup")));
}

void VaultListingsTest::emptyIncludeSetListsNothing()
{
    VaultTree::file(m_root, QStringLiteral("a.md"), m_now);
    QVERIFY(SpotlightScanner::scanVault(m_root, m_now.addDays(-1), {}, {QStringLiteral("_inbox")}).value().isEmpty());
}

void VaultListingsTest::specialFoldersAreDatedByNameThenFolderThenTime()
{
    const QString outbox = m_root + QStringLiteral("/_outbox");
    const QDateTime loose(QDate(2026, 1, 11), QTime(8, 30), Qt::LocalTime);
    VaultTree::file(outbox, QStringLiteral("260110-delivery/260112-report.md"), m_now);
    VaultTree::file(outbox, QStringLiteral("260110-delivery/notes.md"), m_now);
    VaultTree::file(outbox, QStringLiteral("260110-delivery/README.md"), m_now);
    VaultTree::file(outbox, QStringLiteral("260110-delivery/_manifest.md"), m_now);
    VaultTree::file(outbox, QStringLiteral("loose.pdf"), loose);
    VaultTree::file(outbox, QStringLiteral("2025-12-01-old/a.md"), m_now);

    const auto entries = SpecialFolders::scan(outbox, QStringLiteral("_outbox"), FileEntry::Source::Outbox, std::nullopt, {});
    // Newest first; the three files dated by their folder keep the walk's order among themselves.
    QCOMPARE(relativePaths(entries),
             (QStringList{"_outbox/260110-delivery/260112-report.md", "_outbox/loose.pdf", "_outbox/260110-delivery/README.md",
                          "_outbox/260110-delivery/_manifest.md", "_outbox/260110-delivery/notes.md",
                          "_outbox/2025-12-01-old/a.md"}));

    QCOMPARE(entries.at(0).creationDate, QDateTime(QDate(2026, 1, 12), QTime(0, 0), Qt::LocalTime));
    QCOMPARE(entries.at(0).modificationDate, entries.at(0).creationDate);
    QCOMPARE(entries.at(0).parentFolder, QStringLiteral("260110-delivery"));
    QCOMPARE(entries.at(1).creationDate.toSecsSinceEpoch(), loose.toSecsSinceEpoch());
    QCOMPARE(entries.at(1).parentFolder, QStringLiteral("_outbox"));
    QCOMPARE(entries.at(4).creationDate, QDateTime(QDate(2026, 1, 10), QTime(0, 0), Qt::LocalTime));
    QCOMPARE(entries.at(4).source, FileEntry::Source::Outbox);
    QCOMPARE(entries.at(4).fullPath, QUrl::fromLocalFile(outbox + QStringLiteral("/260110-delivery/notes.md")));
    QVERIFY(!entries.at(4).filenameDate && !entries.at(4).domain && !entries.at(4).fileType);
}

void VaultListingsTest::specialFoldersLeaveOutHiddenArchivedAndTopReadme()
{
    const QString handoff = m_root + QStringLiteral("/.handoff");
    for (const char* name : {"a.md", "README.md", "x/README.md", ".DS_Store", ".cache/b.md", "_archive/c.md",
                             "x/_archive/d.md", "x/e.md"})
        VaultTree::file(handoff, QString::fromLatin1(name), m_now);

    const auto entries = SpecialFolders::scan(handoff, QStringLiteral(".handoff"), FileEntry::Source::Handoff, std::nullopt,
                                              {QStringLiteral("_archive")});
    QCOMPARE(test::sortedPaths(entries, [](const FileEntry& e) { return e.relativePath; }),
             (QStringList{".handoff/a.md", ".handoff/x/README.md", ".handoff/x/e.md"}));
}

void VaultListingsTest::inboxListsOnlyItsOwnFiles()
{
    const QString inbox = m_root + QStringLiteral("/_inbox");
    for (const char* name : {"260301-120000.md", "README.md", ".audio/260301-120000.m4a", "sub/deep.md"})
        VaultTree::file(inbox, QString::fromLatin1(name), m_now);
    const auto entries = SpecialFolders::scan(inbox, QStringLiteral("_inbox"), FileEntry::Source::Inbox, 1, {});
    QCOMPARE(relativePaths(entries), QStringList{"_inbox/260301-120000.md"});
    QCOMPARE(entries.first().creationDate, QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::LocalTime));
}

void VaultListingsTest::missingSpecialFolderIsEmpty()
{
    QVERIFY(SpecialFolders::scan(m_root + QStringLiteral("/_outbox"), QStringLiteral("_outbox"), FileEntry::Source::Outbox,
                                 std::nullopt, {})
                .isEmpty());
}

void VaultListingsTest::deepListingHasNoDateLimitAndDropsExcludedNames()
{
    Settings::shared().restart();  // the default settings, in this home
    const QString workspace = m_home->make(QStringLiteral("workspace"));
    const QDateTime longAgo = m_now.addDays(-400);
    VaultTree::file(workspace, QStringLiteral("Ivander/old.md"), longAgo);
    VaultTree::file(workspace, QStringLiteral("Ivander/README.md"), m_now);
    VaultTree::file(workspace, QStringLiteral("Ivander/_inbox/260301-120000.md"), m_now);
    VaultTree::file(workspace, QStringLiteral("proj/w.md"), longAgo);
    VaultTree::file(workspace, QStringLiteral("remotes/m/r.md"), m_now);

    const auto all = FileScanner::scanAllFiles();
    QStringList listed;
    for (const FileEntry& entry : all)
        listed.append(toRawValue(entry.source) + QLatin1Char(':') + entry.relativePath);
    std::sort(listed.begin(), listed.end());
    // The vault inside a workspace folder is listed once, as the vault: its inbox is the
    // scanner's own list, not a workspace file.
    QCOMPARE(listed, (QStringList{"vault:old.md", "workspace:m/r.md", "workspace:proj/w.md"}));
}

QTEST_GUILESS_MAIN(VaultListingsTest)
#include "tst_vault_listings.moc"
