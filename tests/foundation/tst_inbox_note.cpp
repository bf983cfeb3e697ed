// The inbox note format: what the renderer writes, what the reader makes of it (and of notes
// written by hand), and that a standard YAML reader sees the same titles and tags.

#include "foundation/DateForms.h"
#include "foundation/InboxNoteFormat.h"
#include "foundation/JobStatus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "support/Fifo.h"

using namespace harkwell;

namespace {

const QString kAbsent = QStringLiteral("<absent>");

QString shown(const std::optional<QString>& value) { return value.value_or(kAbsent); }
QString shown(const std::optional<QDateTime>& value)
{
    return value ? DateForms::internetDateTime(*value) : kAbsent;
}

// One field of a read record as text, so one table can check any of them.
QString fieldOf(const InboxFrontmatter& f, const QString& name)
{
    if (name == "id") return f.id;
    if (name == "created") return DateForms::internetDateTime(f.created);
    if (name == "status") return f.status;
    if (name == "sourceType") return f.sourceType;
    if (name == "sourceOrigin") return f.sourceOrigin;
    if (name == "audioPath") return f.audioPath;
    if (name == "audioDurationSec") return f.audioDurationSec ? QString::number(*f.audioDurationSec) : kAbsent;
    if (name == "externalId") return shown(f.externalId);
    if (name == "mirelonJobStatus") return shown(f.mirelonJobStatus);
    if (name == "uploadedAt") return shown(f.uploadedAt);
    if (name == "recorderSource") return shown(f.recorderSource);
    if (name == "targetSkill") return shown(f.targetSkill);
    if (name == "title") return shown(f.title);
    if (name == "tags") return f.tags.join('|');
    if (name == "processedAt") return shown(f.processedAt);
    qFatal("unknown field %s", qPrintable(name));
}

InboxFrontmatter sample()
{
    InboxFrontmatter f;
    f.id = QStringLiteral("250102-030405");
    f.created = DateForms::parseInternetDateTime("2025-01-02T03:04:05Z").value();
    f.audioPath = QStringLiteral("_inbox/.audio/250102-030405.m4a");
    return f;
}

QString frontmatterLines(const QString& note) { return note.section(QStringLiteral("\n---\n"), 0, 0); }

// The bytes this process has read through system calls so far.
qint64 bytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        qFatal("no /proc/self/io");
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("rchar: "))
            return line.mid(7).toLongLong();
    qFatal("no rchar in /proc/self/io");
}

}  // namespace

class InboxNoteTest : public QObject {
    Q_OBJECT
private slots:
    void defaultsRenderThirteenLines()
    {
        const QString note = InboxNoteFormat::render(sample(), QStringLiteral("body\n"));
        QCOMPARE(note, QStringLiteral("---\n"
                                      "id: 250102-030405\n"
                                      "created: 2025-01-02T03:04:05Z\n"
                                      "classification: voice_memo\n"
                                      "status: pending\n"
                                      "confidence: high\n"
                                      "source:\n"
                                      "  type: audio\n"
                                      "  origin: voice_memo\n"
                                      "  audio_path: _inbox/.audio/250102-030405.m4a\n"
                                      "  ingestion_tool: harkwell-mac\n"
                                      "target_skill: /transcript\n"
                                      "---\n"
                                      "\n"
                                      "body\n"));
    }

    void everyFieldInOrder()
    {
        InboxFrontmatter f = sample();
        f.audioDurationSec = 61;
        f.externalId = QStringLiteral("key-1");
        f.mirelonJobStatus = QStringLiteral("processing");
        f.uploadedAt = f.created.addSecs(5);
        f.recorderSource = QStringLiteral("zoom.us");
        f.recorderMicrophone = QStringLiteral("MacBook Microphone");
        f.recorderChannelLayout = QStringLiteral("L=microphone,R=system");
        f.targetFolder = QStringLiteral("Meetings");
        f.title = QStringLiteral("Weekly");
        f.tags = {QStringLiteral("a"), QStringLiteral("b c")};
        f.processedAt = f.created.addSecs(60);
        f.processedBy = QStringLiteral("me");
        f.outputFile = QStringLiteral("out.md");
        f.archivedTo = QStringLiteral("");
        const QString note = InboxNoteFormat::render(f, QString());
        QCOMPARE(note.split('\n').mid(10, 17),
                 QStringList({"  audio_duration_sec: 61", "  ingestion_tool: harkwell-mac", "  external_id: key-1",
                              "  mirelon_job_status: processing", "  uploaded_at: 2025-01-02T03:04:10Z", "  app: zoom.us",
                              "  microphone: MacBook Microphone", "  channel_layout: L=microphone,R=system",
                              "target_skill: /transcript", "target_folder: Meetings", "title: Weekly", "tags: [a, b c]",
                              "processed_at: 2025-01-02T03:05:05Z", "processed_by: me", "output_file: out.md",
                              "archived_to: \"\"", "---"}));
        QVERIFY(note.endsWith("---\n\n"));

        // Back again: the record, less what the format cannot keep (the empty optional).
        InboxFrontmatter expected = f;
        expected.archivedTo.reset();
        QCOMPARE(InboxNoteFormat::parseFrontmatter(note).value(), expected);
    }

    void quotedValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("readBack");
        QTest::newRow("colon") << "Plan: B" << "\"Plan: B\"" << "Plan: B";
        QTest::newRow("reserved word") << "No" << "\"No\"" << "No";
        QTest::newRow("reserved tilde") << "~" << "\"~\"" << "~";
        QTest::newRow("not a reserved word") << "Yesterday" << "Yesterday" << "Yesterday";
        QTest::newRow("backslash and quote") << "a\\\"b" << "\"a\\\\\\\"b\"" << "a\\\"b";
        QTest::newRow("hash") << "C# notes" << "\"C# notes\"" << "C# notes";
        QTest::newRow("outer blanks") << " padded " << "\" padded \"" << " padded ";
        QTest::newRow("bare backslash") << "a\\b" << "a\\b" << "a\\b";
        QTest::newRow("tab inside") << "a\tb" << "\"a\tb\"" << "a\tb";
        QTest::newRow("edge no-break spaces") << "\u00a0x\u00a0" << "\"\u00a0x\u00a0\"" << "\u00a0x\u00a0";
        QTest::newRow("inner no-break space stays bare") << "a\u00a0b" << "a\u00a0b" << "a\u00a0b";
        QTest::newRow("a number") << "2024" << "\"2024\"" << "2024";
        QTest::newRow("merge key") << "<<" << "\"<<\"" << "<<";
        QTest::newRow("value key") << "=" << "\"=\"" << "=";
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + "x" << "\uFFFDx" << "\uFFFDx";
        QTest::newRow("id stays bare") << "260305-140709" << "260305-140709" << "260305-140709";
        // Opening indicators a YAML reader would take for structure.
        for (const char* indicator : {"[", "]", "{", "}", "-", "*", "&", "!", "|", ">", "%", "@", "`", "'", "?", ","}) {
            const QString value = QLatin1String(indicator) + QStringLiteral("x");
            QTest::addRow("opens with %s", indicator) << value << QStringLiteral("\"%1\"").arg(value) << value;
        }
        QTest::newRow("indicator later stays bare") << "x-[y]" << "x-[y]" << "x-[y]";
        // Line breaks of every kind become blanks, so the value keeps to its line.
        QTest::newRow("line feed") << "one\ntwo" << "one two" << "one two";
        QTest::newRow("carriage return") << "one\r\ntwo" << "one  two" << "one  two";
        QTest::newRow("unicode separators") << QString("a\u0085b\u2028c\u2029d") << "a b c d" << "a b c d";
        QTest::newRow("break at the end") << "end\n" << "\"end \"" << "end ";
        QTest::newRow("injected key") << "x\nmirelon_job_status: done" << "\"x mirelon_job_status: done\""
                                      << "x mirelon_job_status: done";
    }
    void quotedValues()
    {
        QFETCH(QString, value);
        QFETCH(QString, written);
        QFETCH(QString, readBack);
        InboxFrontmatter f = sample();
        f.title = value;
        f.recorderMicrophone = value;
        const QString note = InboxNoteFormat::render(f, QString());
        QVERIFY2(note.contains("\ntitle: " + written + "\n"), qPrintable(note));
        QVERIFY(note.contains("\n  microphone: " + written + "\n"));
        const auto read = InboxNoteFormat::parseFrontmatter(note).value();
        QCOMPARE(read.title, std::optional(readBack));
        QCOMPARE(read.recorderMicrophone, std::optional(readBack));
        QVERIFY(!read.mirelonJobStatus.has_value());
    }

    void theServiceAndPipelineFieldsAreQuotedByTheSameRule()
    {
        InboxFrontmatter f = sample();
        f.mirelonJobStatus = QStringLiteral("odd: status");
        f.status = QStringLiteral("-x");
        f.processedBy = QStringLiteral("a\nprocessed_at: 2020-01-01T00:00:00Z");
        f.id.clear();
        const QString note = InboxNoteFormat::render(f, QString());
        QVERIFY(note.contains("\n  mirelon_job_status: \"odd: status\"\n"));
        QVERIFY(note.contains("\nstatus: \"-x\"\n"));
        QVERIFY(note.contains("\nprocessed_by: \"a processed_at: 2020-01-01T00:00:00Z\"\n"));
        QVERIFY(note.contains("\nid: \"\"\n"));
        const auto read = InboxNoteFormat::parseFrontmatter(note).value();
        QCOMPARE(read.mirelonJobStatus, std::optional(QStringLiteral("odd: status")));
        QCOMPARE(read.status, QStringLiteral("-x"));
        QVERIFY(!read.processedAt.has_value());
    }

    void tagsStayOnTheirLine()
    {
        InboxFrontmatter f = sample();
        f.tags = {QStringLiteral("a\nb"), QStringLiteral("yes"), QStringLiteral("x,y")};
        const QString note = InboxNoteFormat::render(f, QString());
        QVERIFY(note.contains("\ntags: [a b, \"yes\", x,y]\n"));
        QCOMPARE(InboxNoteFormat::parseFrontmatter(note).value().tags, QStringList({"a b", "yes", "x", "y"}));
    }

    void reading_data()
    {
        QTest::addColumn<QString>("block");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quoted comma splits a tag") << "tags: [x, \"y, z\"]" << "tags" << "x|\"y|z\"";
        QTest::newRow("tags without brackets") << "tags: x, y" << "tags" << "";
        QTest::newRow("block-style tags") << "tags:\n  - x\n  - y" << "tags" << "";
        QTest::newRow("null and ~ tags dropped") << "tags: [null, ~, \"\", a]" << "tags" << "a";
        QTest::newRow("empty title") << "title:" << "title" << kAbsent;
        QTest::newRow("null title") << "title: null" << "title" << kAbsent;
        QTest::newRow("tilde title") << "title: ~" << "title" << kAbsent;
        QTest::newRow("quoted null title") << "title: \"null\"" << "title" << "null";
        QTest::newRow("null status") << "status: null" << "status" << "";
        QTest::newRow("single quotes mean nothing") << "title: 'x'" << "title" << "'x'";
        QTest::newRow("type at column one ends the block")
            << "source:\n  origin: a\ntype: video\n  audio_path: p" << "sourceType" << "audio";
        QTest::newRow("indented after the block is top level")
            << "source:\n  origin: a\ntype: video\n  title: T" << "title" << "T";
        QTest::newRow("tab indent is not the source block")
            << "source:\n\torigin: x\n  audio_path: p" << "sourceOrigin" << "voice_memo";
        QTest::newRow("tab indent ends the block") << "source:\n\torigin: x\n  audio_path: p" << "audioPath" << "";
        QTest::newRow("line without colon keeps an indented block")
            << "source:\n  stray\n  origin: kept" << "sourceOrigin" << "kept";
        QTest::newRow("line without colon at column one ends it")
            << "source:\nstray\n  origin: lost" << "sourceOrigin" << "voice_memo";
        QTest::newRow("empty line keeps the block") << "source:\n\n  origin: kept" << "sourceOrigin" << "kept";
        QTest::newRow("deeper indent still a source key") << "source:\n      origin: deep" << "sourceOrigin" << "deep";
        QTest::newRow("later key wins") << "id: a\nid: b" << "id" << "b";
        QTest::newRow("status with colon") << "source:\n  mirelon_job_status: a: b" << "mirelonJobStatus" << "a: b";
        QTest::newRow("empty job status is absent") << "source:\n  mirelon_job_status:" << "mirelonJobStatus" << kAbsent;
        QTest::newRow("signed duration") << "source:\n  audio_duration_sec: +12" << "audioDurationSec" << "12";
        QTest::newRow("duration with unit") << "source:\n  audio_duration_sec: 12s" << "audioDurationSec" << kAbsent;
        QTest::newRow("uploaded with offset") << "source:\n  uploaded_at: 2025-01-02T04:04:05+01:00" << "uploadedAt"
                                              << "2025-01-02T03:04:05Z";
        QTest::newRow("fractional date refused") << "processed_at: 2025-01-02T03:04:05.5Z" << "processedAt" << kAbsent;
        QTest::newRow("empty target skill") << "target_skill:" << "targetSkill" << kAbsent;
        QTest::newRow("missing target skill keeps default") << "id: x" << "targetSkill" << "/transcript";
        QTest::newRow("unknown keys ignored") << "colour: blue\nid: x" << "id" << "x";
        QTest::newRow("created") << "created: 2025-01-02T03:04:05Z" << "created" << "2025-01-02T03:04:05Z";
    }
    void reading()
    {
        QFETCH(QString, block);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const auto read = InboxNoteFormat::parseFrontmatter("---\n" + block + "\n---\n\nbody");
        QVERIFY(read.has_value());
        QCOMPARE(fieldOf(*read, field), expected);
    }

    void createdFallsBackToTheTimeOfReading_data()
    {
        QTest::addColumn<QString>("block");
        QTest::newRow("missing") << "id: x";
        QTest::newRow("malformed") << "created: yesterday";
        QTest::newRow("fractional") << "created: 2020-01-01T00:00:00.250Z";
    }
    void createdFallsBackToTheTimeOfReading()
    {
        QFETCH(QString, block);
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const auto read = InboxNoteFormat::parseFrontmatter("---\n" + block + "\n---\n");
        QVERIFY(read->created >= before.addSecs(-1) && read->created <= QDateTime::currentDateTimeUtc());
    }

    void noFrontmatterBlock_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("leading empty line") << "\n---\nid: x\n---\n";
        QTest::newRow("never closed") << "---\nid: x\n";
        QTest::newRow("plain text") << "just a note";
    }
    void noFrontmatterBlock()
    {
        QFETCH(QString, text);
        const auto read = InboxNoteFormat::parseFrontmatter(text);
        QVERIFY(!read.has_value());
        QCOMPARE(read.error().kind, InboxError::Kind::NoFrontmatter);
        QCOMPARE(read.error().text, QStringLiteral("no frontmatter block"));
    }

    void closingLineMayCarryMore()
    {
        const auto read = InboxNoteFormat::parseFrontmatter("---\nid: x\n-----trailing\nid: y\n");
        QCOMPARE(read.value().id, QStringLiteral("x"));
    }

    void body_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("body");
        QTest::newRow("after the block") << "---\nid: x\n---\n\nHello\n" << "Hello\n";
        QTest::newRow("leading breaks removed") << "---\nid: x\n---\r\n\u2028\n\nHello\n\n" << "Hello\n\n";
        QTest::newRow("rest of closing line stays") << "---\nid: x\n---more\n\nHello" << "more\n\nHello";
        QTest::newRow("no closing marker") << "---\nid: x\nHello" << "---\nid: x\nHello";
        QTest::newRow("need not open with a block") << "intro\n---\nrest" << "rest";
        QTest::newRow("shorter than the marker") << "--" << "--";
        QTest::newRow("marker inside the first four characters") << "\n---x" << "\n---x";
        // The block the frontmatter reader finds, the body reader skips: a rewrite must not carry an
        // empty block into the body.
        QTest::newRow("empty block") << "---\n---\nHello" << "Hello";
        QTest::newRow("empty block, no body") << "---\n---\n" << "";
        QTest::newRow("empty block, rest of closing line") << "---\n----x\nHello" << "-x\nHello";
    }
    void body()
    {
        QFETCH(QString, text);
        QFETCH(QString, body);
        QCOMPARE(InboxNoteFormat::parseBody(text), body);
    }

    void aFifoIsNoNoteAndNeverBlocksTheReader()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath("pipe.md");
        QVERIFY(test::makeFifo(fifo));
        std::expected<InboxFrontmatter, InboxError> keys = std::unexpected(InboxError{});
        std::expected<QString, InboxError> body = std::unexpected(InboxError{});

        QVERIFY(test::finishesWithoutWriter(fifo, [&] {
            keys = InboxNoteFormat::readFrontmatter(fifo);
            body = InboxNoteFormat::readBody(fifo);
        }));

        QVERIFY(!keys && !body);
        QCOMPARE(keys.error().kind, InboxError::Kind::File);
        QCOMPARE(keys.error().text, "Could not read " + fifo + ": not a regular file");
        QCOMPARE(body.error().text, keys.error().text);
    }

    void theKeysOfALargeNoteAreReadFromItsHeadOnly_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QString>("id");  // empty: no frontmatter
        QTest::newRow("closed frontmatter") << QByteArray("---\nid: big\nstatus: pending\n---\n\nbody ") << "big";
        QTest::newRow("closing line in the first piece's last bytes")
            << QByteArray("---\nid: edge\ntitle: ") + QByteArray(4096 - 22, 'x') + "\n---\n" << "edge";
        QTest::newRow("never closed") << QByteArray("---\nid: open\nbody ") << "";
    }
    void theKeysOfALargeNoteAreReadFromItsHeadOnly()
    {
        QFETCH(QByteArray, head);
        QFETCH(QString, id);
        QTemporaryDir dir;
        QFile file(dir.filePath("large.md"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(head) == head.size());
        QVERIFY(file.resize(256LL << 20));  // a sparse tail: costs no disk
        file.close();

        const qint64 before = bytesRead();
        const auto keys = InboxNoteFormat::readFrontmatter(file.fileName());
        const qint64 read = bytesRead() - before;

        QVERIFY2(read <= InboxNoteFormat::kFrontmatterLimit + 65536, qPrintable(QString::number(read)));
        if (id.isEmpty()) {
            QCOMPARE(keys.error().kind, InboxError::Kind::NoFrontmatter);
        } else {
            QVERIFY(keys);
            QCOMPARE(keys->id, id);
        }
    }

    void renderThenReadKeepsTheRecord()
    {
        InboxFrontmatter f = sample();
        f.created = f.created.addMSecs(750);  // fractions are lost
        f.status = QStringLiteral("  spaced  ");  // quoted: comes back as it was
        f.classification = QStringLiteral("null");  // quoted: the text null, not nothing
        f.title = QString();  // empty optional: comes back absent
        f.tags = {QString(), QStringLiteral("kept")};  // empty tags vanish
        f.targetSkill.reset();  // absent: stays absent, not the reader's default
        const QString note = InboxNoteFormat::render(f, QStringLiteral("\n\nBody\n"));
        const auto read = InboxNoteFormat::parseFrontmatter(note).value();
        InboxFrontmatter expected = f;
        expected.created = sample().created;
        expected.title.reset();
        expected.tags = {QStringLiteral("kept")};
        QCOMPARE(read, expected);
        QCOMPARE(InboxNoteFormat::parseBody(note), QStringLiteral("Body\n"));
    }

    void jobStatusTable_data()
    {
        QTest::addColumn<std::optional<QString>>("status");
        QTest::addColumn<std::optional<QString>>("externalId");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("retryable");
        QTest::addColumn<bool>("resumable");
        const std::optional<QString> none;
        const auto s = [](const char* text) { return std::optional(QString::fromLatin1(text)); };
        using C = JobStatus::Count;
        QTest::newRow("absent") << none << none << int(C::Pending) << true << false;
        QTest::newRow("queued without key") << s("queued") << none << int(C::Pending) << true << true;
        QTest::newRow("queued with empty key") << s("queued") << s("") << int(C::Pending) << true << true;
        QTest::newRow("queued with key") << s("queued") << s("k") << int(C::Pending) << false << true;
        QTest::newRow("skipped") << s("skipped") << none << int(C::Pending) << true << false;
        QTest::newRow("upload_failed") << s("upload_failed") << none << int(C::Failed) << true << true;
        QTest::newRow("duplicate_upload") << s("duplicate_upload") << none << int(C::Pending) << false << false;
        QTest::newRow("poll_timeout") << s("poll_timeout") << s("k") << int(C::Failed) << true << true;
        QTest::newRow("failed") << s("failed") << s("k") << int(C::Failed) << true << false;
        QTest::newRow("paywalled") << s("paywalled") << s("k") << int(C::Failed) << true << false;
        QTest::newRow("pending") << s("pending") << s("k") << int(C::Pending) << false << true;
        QTest::newRow("processing") << s("processing") << s("k") << int(C::Processing) << false << true;
        QTest::newRow("completed") << s("completed") << s("k") << int(C::Pending) << false << true;
        QTest::newRow("done") << s("done") << s("k") << int(C::Done) << false << false;
        QTest::newRow("unknown") << s("unknown") << s("k") << int(C::Pending) << false << false;
        QTest::newRow("case matters") << s("Done") << s("k") << int(C::Pending) << false << false;
    }
    void jobStatusTable()
    {
        QFETCH(std::optional<QString>, status);
        QFETCH(std::optional<QString>, externalId);
        QFETCH(int, count);
        QFETCH(bool, retryable);
        QFETCH(bool, resumable);
        QCOMPARE(int(JobStatus::countAs(status)), count);
        QCOMPARE(JobStatus::isRetryable(status, externalId), retryable);
        QCOMPARE(JobStatus::isResumable(status), resumable);
    }

    // A standard YAML reader (the notes app's kind) must see the texts the note was given: the
    // user's title and tags, the service's status text and the pipeline's own fields.
    void yamlReaderSeesTheSameTexts_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("tags");
        QTest::newRow("colons") << "Meeting: Q3 plan" << QStringList{"a:b", "time:10:30"};
        QTest::newRow("url") << "see https://example.com/x?y=1" << QStringList{"http://x"};
        QTest::newRow("quotes") << "He said \"hi\"" << QStringList{"\"quoted\"", "it's"};
        QTest::newRow("single-quoted look") << "'single'" << QStringList{"'t'"};
        QTest::newRow("backslashes") << "C:\\Users\\x\\" << QStringList{"a\\b", "\\\""};
        QTest::newRow("trailing backslash bare") << "ends with \\" << QStringList{"x\\"};
        QTest::newRow("hash") << "#1 priority" << QStringList{"#tag", "a #b"};
        QTest::newRow("flow indicators") << "[draft] {x}" << QStringList{"[x]", "{y}"};
        QTest::newRow("flow indicators inside tags") << "a [b] c" << QStringList{"a]b", "x}y", "p[q", "r{s"};
        QTest::newRow("closing brackets first") << "]x" << QStringList{"}y", "]"};
        QTest::newRow("closing brace first") << "}" << QStringList{"]]"};
        QTest::newRow("sequence and alias") << "- item" << QStringList{"-neg", "*star", "&anchor"};
        QTest::newRow("tag and block indicators") << "!important" << QStringList{"|pipe", ">fold", "!t"};
        QTest::newRow("reserved indicators") << "@home" << QStringList{"`code`", "%pct", "@at"};
        QTest::newRow("question and comma") << "?what" << QStringList{"?q"};
        QTest::newRow("leading comma title") << ",x" << QStringList{};
        QTest::newRow("merge and value keys") << "<<" << QStringList{"=", "<<"};
        QTest::newRow("value key title") << "=" << QStringList{"<"};
        QTest::newRow("reserved words") << "yes" << QStringList{"no", "True", "NULL", "~", "off", "On", "Y"};
        QTest::newRow("reserved title null") << "Null" << QStringList{"FALSE"};
        QTest::newRow("numbers") << "2024" << QStringList{"0x1F", "1_000", ".5", ".inf", "-.INF", ".NaN", "0b101", "0o17",
                                                          "1e3", "-1", "+12", "08", "1.0e+3", "3.14"};
        QTest::newRow("dates") << "2001-12-14" << QStringList{"2026-3-5", "1:30"};
        QTest::newRow("words that start like numbers stay text") << "3 things" << QStringList{"260305-140709", "1x"};
        QTest::newRow("document marker look") << "---" << QStringList{"..."};
        QTest::newRow("outer blanks") << "  padded  " << QStringList{" lead", "trail "};
        QTest::newRow("edge tabs") << "\tx\t" << QStringList{"\ta", "b\t"};
        QTest::newRow("inner tab") << "a\tb" << QStringList{"c\td"};
        QTest::newRow("edge non-breaking spaces") << "\u00a0x\u00a0" << QStringList{"\u2003y", "z\u3000", "\ufeffw"};
        QTest::newRow("lone surrogates") << QString(QChar(0xDC00)) + "x" << QStringList{QString("y") + QChar(0xD800)};
        QTest::newRow("status texts of the service") << "processing: 50%" << QStringList{"- x", "# hi", "null"};
        QTest::newRow("control characters") << QString("bell\x07 and\tescape\x1b") << QStringList{"nul\x01x", "del\x7f"};
        QTest::newRow("line breaks") << "line one\nline two\r\nthree\u2028four" << QStringList{"a\nb", "c\u0085d"};
        QTest::newRow("non-ASCII") << "Café — 会議メモ 🎙️" << QStringList{"Zürich", "日本", "emoji🎉"};
        QTest::newRow("plain") << "Weekly sync" << QStringList{"work", "project/x", "two words"};
    }
    void yamlReaderSeesTheSameTexts()
    {
        QFETCH(QString, title);
        QFETCH(QStringList, tags);
        InboxFrontmatter f = sample();
        f.title = title;
        f.tags = tags;
        f.id = title;
        f.status = title;
        f.processedBy = title;
        f.mirelonJobStatus = tags.value(0, title);
        f.recorderMicrophone = tags.value(1, title);
        const QString note = InboxNoteFormat::render(f, QStringLiteral("Body"));
        const QString block = frontmatterLines(note).mid(4);

        QProcess python;
        // The system's python3, which has the packaged YAML module, before any other on the PATH.
        const QString python3 = QFile::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3");
        python.start(python3,
                     {QStringLiteral("-c"),
                      QStringLiteral("import sys, json, yaml\n"
                                     "d = yaml.safe_load(sys.stdin.buffer.read().decode('utf-8'))\n"
                                     "def text(v):\n"
                                     "    if v is None or isinstance(v, str): return v\n"
                                     "    if isinstance(v, list): return [text(x) for x in v]\n"
                                     "    return '<%s %r>' % (type(v).__name__, v)\n"
                                     "s = d.get('source') or {}\n"
                                     "sys.stdout.write(json.dumps({k: text(v) for k, v in [('title', d.get('title')),"
                                     " ('tags', d.get('tags')), ('id', d.get('id')), ('status', d.get('status')),"
                                     " ('processed_by', d.get('processed_by')), ('job', s.get('mirelon_job_status')),"
                                     " ('microphone', s.get('microphone'))]}))\n")});
        QVERIFY(python.waitForStarted());
        python.write(block.toUtf8());
        python.closeWriteChannel();
        QVERIFY(python.waitForFinished(60'000));
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        const QJsonObject seen = QJsonDocument::fromJson(python.readAllStandardOutput()).object();

        auto oneLine = [](QString text) {
            for (QChar& c : text)
                if (c == '\n' || c == '\r' || c == QChar(0x2028) || c == QChar(0x2029) || c == QChar(0x7f)
                    || (c.unicode() < 0x20 && c != '\t') || (c.unicode() >= 0x80 && c.unicode() <= 0x9f))
                    c = ' ';
            for (qsizetype i = 0; i < text.size(); ++i)
                if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                    ++i;
                else if (text[i].isSurrogate())
                    text[i] = QChar(QChar::ReplacementCharacter);
            return text;
        };
        QStringList expectedTags;
        for (const QString& tag : tags)
            expectedTags.append(oneLine(tag));
        const QMap<QString, QString> expected{{"title", oneLine(title)},
                                              {"id", oneLine(title)},
                                              {"status", oneLine(title)},
                                              {"processed_by", oneLine(title)},
                                              {"job", oneLine(tags.value(0, title))},
                                              {"microphone", oneLine(tags.value(1, title))}};
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QCOMPARE(seen.value(it.key()).toVariant(), QVariant(it.value()));
        QCOMPARE(seen.value("tags").isNull() ? QStringList() : seen.value("tags").toVariant().toStringList(), expectedTags);

        // Our own reader agrees.
        const auto read = InboxNoteFormat::parseFrontmatter(note).value();
        QCOMPARE(read.title, std::optional(oneLine(title)));
        QCOMPARE(read.tags, expectedTags);
        QCOMPARE(read.status, oneLine(title));
        QCOMPARE(read.mirelonJobStatus, std::optional(oneLine(tags.value(0, title))));
        QCOMPARE(read.recorderMicrophone, std::optional(oneLine(tags.value(1, title))));
    }

    // Notes already on disk, written before values were quoted this way, read as they did.
    void storedNotesStayReadable()
    {
        const QString stored = QStringLiteral("---\nid: 250102-030405\nstatus: pending\nsource:\n"
                                              "  mirelon_job_status: processing: 50%\n  microphone: \u00a0Mic\u00a0\n"
                                              "title: \"Plan: B\"\ntags: [a, \"b c\"]\n---\n\nbody");
        const auto read = InboxNoteFormat::parseFrontmatter(stored).value();
        QCOMPARE(read.mirelonJobStatus, std::optional<QString>("processing: 50%"));
        QCOMPARE(read.recorderMicrophone, std::optional<QString>("\u00a0Mic\u00a0"));
        QCOMPARE(read.title, std::optional<QString>("Plan: B"));
        QCOMPARE(read.tags, (QStringList{"a", "b c"}));
    }
};

QTEST_GUILESS_MAIN(InboxNoteTest)
#include "tst_inbox_note.moc"
