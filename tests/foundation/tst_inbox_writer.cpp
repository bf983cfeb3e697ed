// Placing captures in the vault's inbox: audio copies that are never left half-written, notes
// written whole, job-status updates that touch only the note they read, ids that stay inside.

#include "foundation/InboxWriter.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

using namespace harkwell;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ino_t inodeOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

InboxFrontmatter stub(const QString& id)
{
    InboxFrontmatter f;
    f.id = id;
    f.audioPath = InboxWriter::audioRelativePath(id);
    f.mirelonJobStatus = QStringLiteral("queued");
    return f;
}

// Everything in the inbox's audio folder, hidden names included.
QStringList audioFolderEntries(const InboxWriter& writer)
{
    return QDir(writer.audioFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

}  // namespace

class InboxWriterTest : public QObject {
    Q_OBJECT
private slots:
    void copyAudioCreatesTheInboxAndKeepsTheBytes()
    {
        test::TempHome home;
        const QString source = home.writeFile("memos/take.wav", QByteArray("RIFF....WAVEfmt ", 16) + QByteArray(3 << 20, 'a'));
        InboxWriter writer(home.path() + "/vault");
        const auto copied = writer.copyAudio(source, "250102-030405");
        QVERIFY(copied.has_value());
        QCOMPARE(*copied, home.path() + "/vault/_inbox/.audio/250102-030405.m4a");
        QCOMPARE(readAll(*copied), readAll(source));
        QCOMPARE(audioFolderEntries(writer), QStringList{"250102-030405.m4a"});
    }

    void copyAudioKeepsAnExistingCopy()
    {
        test::TempHome home;
        InboxWriter writer(home.path() + "/vault");
        const QString existing = home.writeFile("vault/_inbox/.audio/x.m4a", "first");
        const QString source = home.writeFile("memos/other.m4a", "second");
        QCOMPARE(writer.copyAudio(source, "x").value(), existing);
        QCOMPARE(readAll(existing), QByteArray("first"));
    }

    void failedCopyLeavesNothingBehind_data()
    {
        QTest::addColumn<QString>("source");
        QTest::newRow("unreadable midway (a folder)") << "memos";
        QTest::newRow("missing source") << "memos/gone.m4a";
    }
    void failedCopyLeavesNothingBehind()
    {
        QFETCH(QString, source);
        test::TempHome home;
        home.make("memos");
        InboxWriter writer(home.path() + "/vault");
        const auto copied = writer.copyAudio(home.path() + "/" + source, "x");
        QVERIFY(!copied.has_value());
        QCOMPARE(copied.error().kind, InboxError::Kind::SourceUnreadable);
        QVERIFY(copied.error().text.contains("memos"));
        QVERIFY(audioFolderEntries(writer).isEmpty());
    }

    void writeMarkdownReplacesTheNoteWhole()
    {
        test::TempHome home;
        InboxWriter writer(home.path() + "/vault");
        QVERIFY(writer.ensureDirectories().has_value());
        QVERIFY(writer.writeMarkdown(stub("x"), "first").has_value());
        QVERIFY(writer.writeMarkdown(stub("x"), "second\n").has_value());
        const QString note = writer.notePath("x").value();
        QCOMPARE(InboxWriter::readBody(note).value(), QStringLiteral("second\n"));
        QCOMPARE(InboxWriter::readFrontmatter(note).value().mirelonJobStatus, std::optional<QString>("queued"));
        QCOMPARE(QDir(writer.inboxFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{"x.md"});
    }

    void writeMarkdownNeedsTheInbox()
    {
        test::TempHome home;
        InboxWriter writer(home.make("vault"));
        const auto written = writer.writeMarkdown(stub("x"), "body");
        QVERIFY(!written.has_value());
        QCOMPARE(written.error().kind, InboxError::Kind::File);
        QVERIFY(!QFile::exists(writer.inboxFolder()));
    }

    void updateRewritesOnlyOnChange()
    {
        test::TempHome home;
        InboxWriter writer(home.path() + "/vault");
        QVERIFY(writer.ensureDirectories().has_value());
        QVERIFY(writer.writeMarkdown(stub("x"), "Body").has_value());
        const QString note = writer.notePath("x").value();
        const ino_t before = inodeOf(note);

        QVERIFY(writer.updateMirelonJobStatus("x", "queued").has_value());
        QCOMPARE(inodeOf(note), before);  // untouched

        QVERIFY(writer.updateMirelonJobStatus("x", "processing").has_value());
        QVERIFY(inodeOf(note) != before);
        QCOMPARE(InboxWriter::readFrontmatter(note).value().mirelonJobStatus, std::optional<QString>("processing"));
        QCOMPARE(InboxWriter::readBody(note).value(), QStringLiteral("Body"));
    }

    void updateOfAMissingOrDamagedNoteDoesNothing()
    {
        test::TempHome home;
        InboxWriter writer(home.path() + "/vault");
        QVERIFY(writer.ensureDirectories().has_value());
        QVERIFY(writer.updateMirelonJobStatus("gone", "done").has_value());
        QVERIFY(!QFile::exists(writer.notePath("gone").value()));
        const QString damaged = home.writeFile("vault/_inbox/damaged.md", "no block here");
        QVERIFY(writer.updateMirelonJobStatus("damaged", "done").has_value());
        QCOMPARE(readAll(damaged), QByteArray("no block here"));
    }

    void updateWritesBackToTheNoteItRead_data()
    {
        QTest::addColumn<QString>("storedId");
        QTest::newRow("another id") << "250101-000000";
        QTest::newRow("no id") << "";
        QTest::newRow("escaping id") << "../../escape";
    }
    void updateWritesBackToTheNoteItRead()
    {
        QFETCH(QString, storedId);
        test::TempHome home;
        InboxWriter writer(home.path() + "/vault");
        QVERIFY(writer.ensureDirectories().has_value());
        const QString note = home.writeFile("vault/_inbox/x.md", ("---\nid: " + storedId + "\n---\n\nBody").toUtf8());
        QVERIFY(writer.updateMirelonJobStatus("x", "failed").has_value());
        const auto read = InboxWriter::readFrontmatter(note).value();
        QCOMPARE(read.mirelonJobStatus, std::optional<QString>("failed"));
        QCOMPARE(read.id, storedId);
        QCOMPARE(QDir(writer.inboxFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{"x.md"});
        QCOMPARE(QDir(home.path()).entryList(QDir::Files), QStringList{});
    }

    void unsafeIdsAreRefused_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("empty") << "";
        QTest::newRow("slash") << "a/b";
        QTest::newRow("parent") << "../outside";
        QTest::newRow("dots inside") << "a..b";
        QTest::newRow("leading dot") << ".audio";
        QTest::newRow("nul") << QString("a") + QChar(u'\0') + "b";
    }
    void unsafeIdsAreRefused()
    {
        QFETCH(QString, id);
        test::TempHome home;
        InboxWriter writer(home.path() + "/vault");
        QVERIFY(!InboxWriter::isSafeId(id));
        const QString source = home.writeFile("memos/a.m4a", "audio");

        const auto written = writer.writeMarkdown(stub(id), "body");
        QVERIFY(!written.has_value());
        QCOMPARE(written.error().kind, InboxError::Kind::InvalidId);
        const auto copied = writer.copyAudio(source, id);
        QVERIFY(!copied.has_value());
        QCOMPARE(copied.error().kind, InboxError::Kind::InvalidId);
        QCOMPARE(writer.updateMirelonJobStatus(id, "done").error().kind, InboxError::Kind::InvalidId);
        QVERIFY(!QFile::exists(writer.inboxFolder()));
        QCOMPARE(QDir(home.path()).entryList(QDir::Files), QStringList{});
    }

    void captureIdsAndSuffixesAreSafe()
    {
        for (const char* id : {"250102-030405", "250102-030405_2", "250102-030405_1a2b3c4d", "a.b"})
            QVERIFY2(InboxWriter::isSafeId(id), id);
    }
};

QTEST_GUILESS_MAIN(InboxWriterTest)
#include "tst_inbox_writer.moc"
