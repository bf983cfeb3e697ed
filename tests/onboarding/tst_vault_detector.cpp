// Vault detection over fixture registries and folder trees, its ranking, and making a vault folder.

#include "onboarding/VaultDetector.h"
#include "onboarding/VaultSearch.h"
#include "platform/paths/Paths.h"
#include "support/SlowMount.h"
#include "support/TempHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

using namespace harkwell;

namespace {

using Source = VaultCandidate::Source;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

VaultCandidate candidate(const QString& path, Source source, bool markers = false, bool outbox = false,
                         std::optional<QDateTime> opened = std::nullopt)
{
    VaultCandidate c;
    c.id = QFileInfo(path).canonicalFilePath();
    c.path = path;
    c.name = QFileInfo(path).fileName();
    c.source = source;
    c.hasNookwiseMarkers = markers;
    c.hasOutbox = outbox;
    c.lastOpened = opened;
    return c;
}

QStringList names(const QList<VaultCandidate>& list)
{
    QStringList out;
    for (const VaultCandidate& c : list)
        out.append(c.name);
    return out;
}

}  // namespace

class VaultDetectorTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempHome> m_home;

    QString home(const QString& relative) const { return m_home->path() + QLatin1Char('/') + relative; }
    // A vault folder with its ".obsidian" settings folder.
    QString vault(const QString& relative) const
    {
        m_home->make(relative + QStringLiteral("/.obsidian"));
        return home(relative);
    }
    VaultDetector::Sources sources() const
    {
        return VaultDetector::Sources::standard();
    }
    void writeRegistry(const QString& relative, const QJsonObject& vaults) const
    {
        m_home->writeFile(relative, QJsonDocument(QJsonObject{{"vaults", vaults}}).toJson());
    }

private slots:
    void init() { m_home = std::make_unique<test::TempHome>(); }
    void cleanup() { m_home.reset(); }

    void nothingAnywhereGivesAnEmptyList() { QCOMPARE(VaultDetector::detectAll(sources()), QList<VaultCandidate>()); }

    void everyRegistryLocationIsRead_data()
    {
        QTest::addColumn<QString>("registry");
        QTest::newRow("the Mac path") << "Library/Application Support/obsidian/obsidian.json";
        QTest::newRow("XDG config") << "xdg/config/obsidian/obsidian.json";
        QTest::newRow("Flatpak") << ".var/app/md.obsidian.Obsidian/config/obsidian/obsidian.json";
    }
    void everyRegistryLocationIsRead()
    {
        QFETCH(QString, registry);
        const QString notes = m_home->make(QStringLiteral("elsewhere/Notes"));
        m_home->make(QStringLiteral("elsewhere/Notes/_inbox"));
        m_home->make(QStringLiteral("elsewhere/Notes/_outbox"));
        writeRegistry(registry, QJsonObject{{"a1", QJsonObject{{"path", notes}, {"ts", 1700000000123.0}}}});

        const auto found = VaultDetector::detectAll(sources());
        const QDateTime opened = QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC);
        QCOMPARE(found, (QList<VaultCandidate>{candidate(notes, Source::ObsidianRegistry, true, true, opened)}));
    }

    void registryEntriesThatDoNotCount_data()
    {
        QTest::addColumn<QByteArray>("registry");  // "%1" stands for an existing vault's path
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("garbled") << QByteArray("{\"vaults\": {\"a\": {\"path\": \"%1\"}") << QStringList();
        QTest::newRow("top level array") << QByteArray("[{\"path\": \"%1\"}]") << QStringList();
        QTest::newRow("vaults not an object") << QByteArray("{\"vaults\": [\"%1\"]}") << QStringList();
        QTest::newRow("one entry not an object voids all")
            << QByteArray("{\"vaults\": {\"a\": {\"path\": \"%1\"}, \"b\": 3}}") << QStringList();
        QTest::newRow("deleted folder skipped")
            << QByteArray("{\"vaults\": {\"a\": {\"path\": \"%1\"}, \"b\": {\"path\": \"%1/../Gone\"}}}") << QStringList{"Kept"};
        QTest::newRow("path not text, empty entry")
            << QByteArray("{\"vaults\": {\"a\": {\"path\": 7}, \"b\": {}, \"c\": {\"path\": \"%1\"}}}") << QStringList{"Kept"};
        QTest::newRow("ts text or absurd: undated")
            << QByteArray("{\"vaults\": {\"a\": {\"path\": \"%1\", \"ts\": \"1700000000000\"}}}") << QStringList{"Kept"};
    }
    void registryEntriesThatDoNotCount()
    {
        QFETCH(QByteArray, registry);
        QFETCH(QStringList, expected);
        const QString kept = m_home->make(QStringLiteral("v/Kept"));
        m_home->writeFile(QStringLiteral(".config/obsidian/obsidian.json"), QString::fromUtf8(registry).arg(kept).toUtf8());

        const auto found = VaultDetector::fromObsidianRegistry(home(".config/obsidian/obsidian.json"));
        QCOMPARE(names(found), expected);
        for (const VaultCandidate& c : found)
            QVERIFY(!c.lastOpened);
    }

    void searchFindsVaultsWithinItsRules()
    {
        vault(QStringLiteral("Documents/Alpha"));
        vault(QStringLiteral("a/b/c/d/Deep5"));        // ".obsidian" 6 levels down: found
        vault(QStringLiteral("a/b/c/d/e/TooDeep"));    // 7 levels down: not
        vault(QStringLiteral("x/.Trash/Trashed"));
        vault(QStringLiteral("Library/Caches/Cached"));
        vault(QStringLiteral("code/node_modules/Mod"));
        vault(QStringLiteral("repo/.git/Inside"));
        vault(QStringLiteral(".archive/Old"));
        vault(QStringLiteral(".local/share/Trash/files/Binned"));
        vault(QStringLiteral("Library/Mobile Documents/iCloud~md~obsidian/Documents/Cloud"));
        QDir().mkpath(home("Documents/NotAVault/obsidian"));
        QFile::link(home("Documents/Alpha"), home("Documents/AlphaLink"));  // links are not followed

        const auto found = VaultDetector::detectAll(sources());
        QCOMPARE(names(found), (QStringList{"Alpha", "Cloud", "Deep5"}));
        for (const VaultCandidate& c : found) {
            QCOMPARE(c.source, Source::Filesystem);
            QVERIFY(!c.lastOpened);
            QVERIFY(!c.path.endsWith('/'));
        }
    }

    void aFolderThatHangsCostsOnlyWhatLiesBelowIt()
    {
        const QString alpha = vault(QStringLiteral("Alpha"));
        vault(QStringLiteral("Zulu/Inner"));
        // Opening the mount, or looking up any name in it, takes half a minute.
        test::SlowMount mount(home(QStringLiteral("Mounts/dead")), 30, test::SlowMount::Hang::ListingAndLookups);
        QVERIFY2(mount.start(), qPrintable(mount.error()));
        // The registry names a vault on the mount too.
        writeRegistry(QStringLiteral("xdg/config/obsidian/obsidian.json"),
                      QJsonObject{{"a", QJsonObject{{"path", alpha}, {"ts", 1000.0}}},
                                  {"b", QJsonObject{{"path", home(QStringLiteral("Mounts/dead/Vault"))}, {"ts", 2000.0}}}});
        VaultDetector::Sources s = sources();
        s.searchTimeLimitMs = 2'000;

        QElapsedTimer timer;
        timer.start();
        const auto found = VaultDetector::detectAll(s);
        // The search and the registry's folders end at the limit, with the vaults beside the mount.
        QVERIFY2(timer.elapsed() < 15'000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(names(found), (QStringList{"Alpha", "Inner"}));
        QCOMPARE(found.first().source, Source::ObsidianRegistry);
    }

    void registryWinsOverTheSearchAndLinksMerge()
    {
        const QString real = vault(QStringLiteral("Vaults/Real"));
        QFile::link(real, home("RealLink"));
        writeRegistry(QStringLiteral("xdg/config/obsidian/obsidian.json"),
                      QJsonObject{{"a", QJsonObject{{"path", home("RealLink")}, {"ts", 1000.0}}},
                                  {"b", QJsonObject{{"path", real}, {"ts", 2000.0}}}});

        const auto found = VaultDetector::detectAll(sources());
        QCOMPARE(found.size(), 1);
        QCOMPARE(found.first().id, real);
        QCOMPARE(found.first().source, Source::ObsidianRegistry);
        QVERIFY(found.first().lastOpened.has_value());
    }

    void ranking()
    {
        const QDateTime day = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
        QList<VaultCandidate> list{
            candidate("/x/alpha", Source::Filesystem),   candidate("/x/Beta", Source::Filesystem),
            candidate("/x/Zeta", Source::ObsidianRegistry), candidate("/x/Old", Source::ObsidianRegistry, false, false, day),
            candidate("/x/New", Source::Filesystem, false, false, day.addDays(1)),
            candidate("/x/Able", Source::ObsidianRegistry),
        };
        VaultDetector::rank(list);
        QCOMPARE(names(list), (QStringList{"New", "Old", "Able", "Zeta", "alpha", "Beta"}));
    }

    void creatingAVault_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("stub");
        QTest::newRow("tilde parent, with stub") << "~/Documents" << "Notes" << true;
        QTest::newRow("missing parent made, no stub") << "~/new/parent" << "Notes" << false;
        QTest::newRow("a slash nests folders") << "~/Documents" << "Team/Notes" << true;
    }
    void creatingAVault()
    {
        QFETCH(QString, parent);
        QFETCH(QString, name);
        QFETCH(bool, stub);
        m_home->make(QStringLiteral("Documents"));

        const auto created = VaultDetector::createNewVault(parent, name, stub);
        QVERIFY(created.has_value());
        const QString expected = Paths::expandTilde(parent) + QLatin1Char('/') + name;
        QCOMPARE(*created, expected);
        QVERIFY(QFileInfo(expected + "/_outbox").isDir());
        QCOMPARE(QFileInfo::exists(expected + "/CLAUDE.md"), stub);
        if (stub) {
            const QString text = QString::fromUtf8(readAll(expected + "/CLAUDE.md"));
            QVERIFY(text.startsWith(QStringLiteral("# %1\n\nVault set up by harkwell").arg(name)));
            QVERIFY(text.contains(QStringLiteral("- `_outbox/` — generated PDFs")));
            QVERIFY(text.endsWith(QStringLiteral("Add project folders alongside these as needed.")));
        }
    }

    void creatingWhereSomethingIsRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("asFile");
        QTest::newRow("existing folder") << "Notes" << false;
        QTest::newRow("existing file") << "Notes" << true;
        QTest::newRow("empty name names the parent") << "" << false;
    }
    void creatingWhereSomethingIsRefused()
    {
        QFETCH(QString, name);
        QFETCH(bool, asFile);
        if (asFile)
            m_home->writeFile(QStringLiteral("Documents/Notes"), "text");
        else
            m_home->make(QStringLiteral("Documents/") + name);

        const auto created = VaultDetector::createNewVault(QStringLiteral("~/Documents"), name, true);
        QVERIFY(!created.has_value());
        QCOMPARE(created.error().kind, VaultError::Kind::AlreadyExists);
        QCOMPARE(created.error().text, QStringLiteral("A folder named '%1' already exists at %2/Documents").arg(name, m_home->path()));
        QVERIFY(!QFileInfo::exists(home("Documents/Notes/_outbox")));
    }

    void aFailureToCreateIsExplained()
    {
        // A file where the parent folder should be: the file system's own reason reaches the user.
        const QString file = m_home->writeFile(QStringLiteral("Documents"), "not a folder");
        const auto created = VaultDetector::createNewVault(QStringLiteral("~/Documents"), QStringLiteral("Notes"), true);
        QVERIFY(!created.has_value());
        QCOMPARE(created.error().kind, VaultError::Kind::FileSystem);
        QVERIFY2(created.error().text.contains(file + "/Notes") && created.error().text.contains("Not a directory"),
                 qPrintable(created.error().text));
    }

    void ensuringTheOutbox_data()
    {
        QTest::addColumn<QString>("setup");  // "folder", "file" or "nothing" at <vault>/_outbox
        QTest::newRow("already there") << "folder";
        QTest::newRow("a file of that name") << "file";
        QTest::newRow("vault missing too") << "nothing";
    }
    void ensuringTheOutbox()
    {
        QFETCH(QString, setup);
        if (setup == "folder")
            m_home->writeFile(QStringLiteral("V/_outbox/report.pdf"), "pdf");
        else if (setup == "file")
            m_home->writeFile(QStringLiteral("V/_outbox"), "note");

        VaultDetector::ensureOutbox(QStringLiteral("~/V"));
        if (setup == "file")
            QCOMPARE(readAll(home("V/_outbox")), QByteArray("note"));
        else
            QVERIFY(QFileInfo(home("V/_outbox")).isDir());
        if (setup == "folder")
            QCOMPARE(readAll(home("V/_outbox/report.pdf")), QByteArray("pdf"));
    }
};

QTEST_MAIN(VaultDetectorTest)
#include "tst_vault_detector.moc"
