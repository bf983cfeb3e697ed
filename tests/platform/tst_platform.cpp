// The platform base: paths follow HOME, defaults survive and stay atomic, the durable write never
// leaves a half file, the fake clock wakes sleepers in deadline order, serial queues keep order,
// a link's scheme is looked up in the MIME database without letting a hanging lookup live on, the
// audio codecs stay out of memory until audio is first encoded.

#include "platform/clock/FakeClock.h"
#include "platform/defaults/Defaults.h"
#include "platform/files/AtomicFile.h"
#include "platform/files/FileNames.h"
#include "platform/limits/ProcessLimits.h"
#include "platform/media/AacFileWriter.h"
#include "platform/media/AudioFileReader.h"
#include "platform/media/MediaCodecs.h"
#include "platform/moves/ItemMove.h"
#include "platform/paths/LayoutMove.h"
#include "platform/paths/Paths.h"
#include "platform/childprocess/SpawnProcessRunner.h"
#include "platform/queue/SerialQueue.h"
#include "platform/schemes/SchemeHandlers.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QLibraryInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <qcoro/qcorotask.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

using namespace harkwell;
using namespace std::chrono_literals;

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

bool processRuns(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.size() > close + 2 && line.at(close + 2) != 'Z';
}

// Whether a library whose file name holds `name` is mapped into this process.
bool mapped(const QByteArray& name)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(name);
}

// Sets an environment variable for one test and puts the old value back.
class EnvironmentValue {
public:
    EnvironmentValue(const char* name, const QByteArray& value) : m_name(name), m_old(qgetenv(name)), m_had(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, value);
    }
    ~EnvironmentValue()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    QByteArray m_old;
    bool m_had;
};

}  // namespace

class PlatformTest : public QObject {
    Q_OBJECT
private slots:
    void pathsFollowTheBaseFolders_data()
    {
        QTest::addColumn<bool>("variablesSet");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        const std::pair<const char*, const char*> bases[] = {{"xdg/config", ".config"},
                                                             {"xdg/data", ".local/share"},
                                                             {"xdg/state", ".local/state"},
                                                             {"xdg/cache", ".cache"}};
        const struct {
            const char* name;
            int base;
            const char* rest;
        } rows[] = {
            {"settings", 0, "harkwell/settings.json"},
            {"secrets", 0, "harkwell/secrets.json"},
            {"defaults", 0, "harkwell/app.harkwell.Harkwell.json"},
            {"autostart", 0, "autostart/app.harkwell.Harkwell.desktop"},
            {"ledger", 1, "harkwell/state.json"},
            {"recording", 1, "harkwell/Recordings/id"},
            {"predecessor support", 1, "Corvale"},
            {"log", 2, "harkwell/harkwell.log"},
            {"predecessor logs", 2, "Corvale"},
            {"scan cache", 3, "harkwell/scan-cache.json"},
        };
        for (const bool set : {true, false})
            for (const auto& row : rows)
                QTest::addRow("%s, %s", row.name, set ? "variables set" : "fallbacks")
                    << set << QString(row.name)
                    << QStringLiteral("%1/%2").arg(set ? bases[row.base].first : bases[row.base].second, row.rest);
    }
    void pathsFollowTheBaseFolders()
    {
        QFETCH(bool, variablesSet);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        test::TempHome home;
        if (!variablesSet) {
            // A relative value counts as unset, as an empty one does.
            qputenv("XDG_CONFIG_HOME", "relative/ignored");
            qputenv("XDG_DATA_HOME", "");
            qunsetenv("XDG_STATE_HOME");
            qunsetenv("XDG_CACHE_HOME");
        }
        const QMap<QString, QString> paths{
            {"settings", Paths::settingsFile()},
            {"secrets", Paths::secretsFile()},
            {"defaults", Paths::defaultsFile("app.harkwell.Harkwell")},
            {"autostart", Paths::autostartFile()},
            {"ledger", Paths::stateFile()},
            {"recording", Paths::recordingFolder("id")},
            {"predecessor support", Paths::predecessorSupport()},
            {"log", Paths::logFile()},
            {"predecessor logs", Paths::predecessorLogs()},
            {"scan cache", Paths::scanCacheFile()},
        };
        QCOMPARE(paths.value(path), home.path() + QLatin1Char('/') + expected);
        QCOMPARE(Paths::instanceLockFile(), home.path() + "/.runtime/harkwell/harkwell.lock");
    }

    // An earlier build's ~/Library layout, moved where it belongs now. A move cut short left a copy
    // in place with its source still there, and a file that took a name since is never replaced.
    void theLibraryLayoutIsMovedOnce_data()
    {
        QTest::addColumn<QByteArray>("alreadyAtSettings");
        QTest::addColumn<QByteArray>("settingsAfter");
        QTest::addColumn<bool>("sourceKept");
        QTest::newRow("fresh") << QByteArray() << QByteArray("old settings") << false;
        QTest::newRow("resumed after its copy was in place") << QByteArray("old settings") << QByteArray("old settings") << false;
        QTest::newRow("a newer file took the name") << QByteArray("newer") << QByteArray("newer") << true;
    }
    void theLibraryLayoutIsMovedOnce()
    {
        QFETCH(QByteArray, alreadyAtSettings);
        QFETCH(QByteArray, settingsAfter);
        QFETCH(bool, sourceKept);
        test::TempHome home;
        const QString support = "Library/Application Support/harkwell/";
        const QString oldSettings = home.writeFile(support + "settings.json", "old settings");
        home.writeFile(support + "secrets.json", "token");
        home.writeFile(support + "state.json", "ledger");
        home.writeFile(support + "Recordings/260304-090000/segment-001.caf", "audio");
        home.writeFile("Library/Logs/harkwell/harkwell.log", "log");
        home.writeFile("Library/Caches/harkwell/scan-cache.json", "cache");
        home.writeFile("Library/Preferences/app.harkwell.Harkwell.json", "{}");
        home.writeFile("Library/Application Support/Corvale/state.json", "old ledger");
        QVERIFY(QFile::setPermissions(home.path() + "/" + support + "secrets.json", QFile::ReadOwner | QFile::WriteOwner));
        if (!alreadyAtSettings.isEmpty())
            home.writeFile(Paths::settingsFile(), alreadyAtSettings);

        const LayoutMove::Outcome outcome = LayoutMove::run(Paths::libraryLayout());
        QCOMPARE(outcome.kept.size(), sourceKept ? 1 : 0);
        QCOMPARE(readFile(Paths::settingsFile()), settingsAfter);
        QCOMPARE(readFile(Paths::secretsFile()), QByteArray("token"));
        struct stat secrets {};
        QCOMPARE(::stat(QFile::encodeName(Paths::secretsFile()).constData(), &secrets), 0);
        QCOMPARE(secrets.st_mode & 0777, 0600u);
        QCOMPARE(readFile(Paths::stateFile()), QByteArray("ledger"));
        QCOMPARE(readFile(Paths::recordingFolder("260304-090000") + "/segment-001.caf"), QByteArray("audio"));
        QCOMPARE(readFile(Paths::logFile()), QByteArray("log"));
        QCOMPARE(readFile(Paths::scanCacheFile()), QByteArray("cache"));
        QCOMPARE(readFile(Paths::defaultsFile("app.harkwell.Harkwell")), QByteArray("{}"));
        QCOMPARE(readFile(Paths::predecessorSupport() + "/state.json"), QByteArray("old ledger"));
        QCOMPARE(QFileInfo::exists(oldSettings), sourceKept);
        QCOMPARE(QFileInfo::exists(home.path() + "/" + support), sourceKept);
        QVERIFY(!QFileInfo::exists(home.path() + "/Library/Logs/harkwell"));

        // Again: nothing more to move, and nothing changes.
        const LayoutMove::Outcome again = LayoutMove::run(Paths::libraryLayout());
        QCOMPARE(again.moved, 0);
        QCOMPARE(again.kept, outcome.kept);
        QCOMPARE(readFile(Paths::settingsFile()), settingsAfter);
    }

    void pathsFollowHome()
    {
        test::TempHome home;
        QCOMPARE(Paths::expandTilde("~/Notes"), home.path() + "/Notes");
        QCOMPARE(Paths::expandTilde("/abs/~/x"), QString("/abs/~/x"));

        const QString temporary = Paths::temporaryFolder();
        QVERIFY(temporary.startsWith(home.path()));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(temporary).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0700u);
    }

    void atomicWriteReplacesWholeFileAndLeavesNoTemporary()
    {
        test::TempHome home;
        const QString path = home.path() + "/file.json";
        QVERIFY(AtomicFile::write(path, "first").has_value());
        QVERIFY(AtomicFile::write(path, "second").has_value());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("second"));
        QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"file.json"});
    }

    // Many writers at once, as the pipeline's workers are: the umask is honoured by every new file
    // and is the same afterwards (reading it by setting it once left it at 0 for the process).
    void atomicWritesFromManyThreadsLeaveTheUmaskAlone()
    {
        test::TempHome home;
        const mode_t saved = ::umask(027);
        std::vector<std::unique_ptr<QThread>> writers;
        for (int t = 0; t < 8; ++t) {
            writers.emplace_back(QThread::create([&home, t] {
                for (int i = 0; i < 1500; ++i)
                    (void)AtomicFile::write(home.path() + QString("/f%1-%2").arg(t).arg(i), "x",
                                            AtomicFile::Durability::Unsynced);
            }));
            writers.back()->start();
        }
        for (auto& writer : writers)
            writer->wait();
        const mode_t after = ::umask(saved);
        QCOMPARE(after, mode_t(027));

        int wrongModes = 0;
        for (const QFileInfo& info : QDir(home.path()).entryInfoList(QDir::Files)) {
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(info.filePath()).constData(), &st), 0);
            wrongModes += (st.st_mode & 0777) != 0640;
        }
        QCOMPARE(wrongModes, 0);
    }

    void atomicWriteIntoMissingFolderFailsWithText()
    {
        test::TempHome home;
        const auto result = AtomicFile::write(home.path() + "/missing/file.json", "x");
        QVERIFY(!result.has_value());
        QVERIFY(result.error().text.contains("missing/file.json"));
    }

    // A name the file system holds as bytes that are not UTF-8 must still name its file, and two
    // such names must not become one text.
    void fileNameTextKeepsEveryByte_data()
    {
        QTest::addColumn<QByteArray>("native");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTF-8 reads as itself") << QByteArray("caf\xc3\xa9 \xef\xbf\xbd.m4a") << QString::fromUtf16(u"caf\u00e9 \uFFFD.m4a");
        QTest::newRow("lone bytes") << QByteArray("\xff\xfe.m4a") << QString::fromUtf16(u"\xDCFF\xDCFE.m4a");
        QTest::newRow("Latin-1 among UTF-8") << QByteArray("\xc3\xa9t\xe9.wav") << QString::fromUtf16(u"\u00e9t\xDCE9.wav");
        QTest::newRow("cut sequence at the end") << QByteArray("a\xe2\x82") << QString::fromUtf16(u"a\xDCE2\xDC82");
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xb3\xbf") << QString::fromUtf16(u"\xDCED\xDCB3\xDCBF");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QString::fromUtf16(u"\xDCC0\xDCAF");
        QTest::newRow("emoji") << QByteArray("\xf0\x9f\x98\x80") << QString::fromUtf16(u"\U0001F600");
    }
    void fileNameTextKeepsEveryByte()
    {
        QFETCH(QByteArray, native);
        QFETCH(QString, text);
        QCOMPARE(FileNames::text(native), text);
        QCOMPARE(FileNames::native(text), native);
        QCOMPARE(FileNames::native(QFile::decodeName(native)) == native, FileNames::isValidUtf8(native));
    }

    void fileNameTextsOfDifferentBytesDiffer()
    {
        QSet<QString> texts;
        for (int first = 0x80; first <= 0xff; ++first)
            for (const char second : {'\x80', '\xbf', '\xc3', '\xff', 'a'})
                texts.insert(FileNames::text(QByteArray(1, char(first)) + second));
        QCOMPARE(texts.size(), 128 * 5);
    }

    void defaultsRoundTripAndUnreadableFile()
    {
        test::TempHome home;
        Defaults defaults("app.test.Domain");
        QVERIFY(!defaults.exists());
        QVERIFY(!defaults.cannotBeOpened());
        defaults.setBool("flag", true);
        defaults.setDate("when", QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::UTC));
        defaults.setValue("a.one", 1);
        defaults.setValue("a.two", 2);

        Defaults again("app.test.Domain");
        QVERIFY(again.boolValue("flag"));
        QCOMPARE(again.dateValue("when"), QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::UTC));
        again.removeWithPrefix("a.");
        QVERIFY(!defaults.contains("a.one"));
        QVERIFY(defaults.contains("flag"));

        home.writeFile(Paths::preferencesFolder() + "/app.broken.json", "{not json");
        Defaults broken("app.broken");
        QVERIFY(broken.cannotBeOpened());
        // What a damaged file still holds is never written over: the first write keeps it aside.
        broken.remove("flag");
        QVERIFY(broken.cannotBeOpened());
        broken.setBool("flag", true);
        QVERIFY(!broken.cannotBeOpened());
        QVERIFY(broken.boolValue("flag"));
        QFile kept(broken.keptAsidePath());
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("{not json"));
        QVERIFY(!broken.keepAsideIfDamaged());
    }

    // A stored date whose offset carries it past the years 1 to 9999 in UTC is brought to the nearer
    // end, so that storing it again (in UTC) gives a text that reads back.
    void defaultsDatesAtTheEdgesOfTimeReadBack_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QDateTime>("read");
        QTest::newRow("in range") << "2026-03-05T14:07:09.250+05:30"
                                  << QDateTime(QDate(2026, 3, 5), QTime(8, 37, 9, 250), Qt::UTC);
        QTest::newRow("year 1 with an offset east") << "0001-01-01T00:00:00.000+14:00"
                                                    << QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
        QTest::newRow("year 9999 with an offset west") << "9999-12-31T23:59:59.999-12:00"
                                                       << QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC);
    }
    void defaultsDatesAtTheEdgesOfTimeReadBack()
    {
        QFETCH(QString, stored);
        QFETCH(QDateTime, read);
        test::TempHome home;
        Defaults defaults("app.test.Domain");
        defaults.setValue("when", stored);
        const auto date = defaults.dateValue("when");
        QCOMPARE(date, std::optional(read));
        defaults.setDate("again", *date);
        QCOMPARE(defaults.dateValue("again"), std::optional(read));
    }

    void fakeClockWakesInDeadlineOrder()
    {
        FakeClock clock;
        const QDateTime start = clock.now();
        QStringList woke;
        auto sleeper = [&](QString name, std::chrono::milliseconds d) -> QCoro::Task<> {
            co_await clock.sleep(d);
            woke << name;
        };
        auto late = sleeper("late", 30s);
        auto early = sleeper("early", 5s);
        QCOMPARE(clock.pendingSleepers(), 2);
        clock.advance(4s);
        QCoreApplication::processEvents();
        QVERIFY(woke.isEmpty());
        clock.advance(30s);
        QTRY_COMPARE(woke, (QStringList{"early", "late"}));
        QCOMPARE(clock.now(), start.addSecs(34));
    }

    // A coroutine still asleep when its clock goes must unwind, or its frame (and everything it
    // holds) is never freed; the code after the sleep must not run against a clock that is gone.
    void fakeClockUnwindsItsSleepersWhenItGoes_data()
    {
        QTest::addColumn<bool>("wokenFirst");
        QTest::newRow("still asleep") << false;
        QTest::newRow("woken, wake-up not yet delivered") << true;
    }
    void fakeClockUnwindsItsSleepersWhenItGoes()
    {
        QFETCH(bool, wokenFirst);
        struct Guard {
            bool* freed;
            ~Guard() { *freed = true; }
        };
        bool freed = false;
        bool ranOn = false;
        auto sleeper = [](Clock& clock, bool* freed, bool* ranOn) -> QCoro::Task<> {
            Guard guard{freed};
            co_await clock.sleep(10s);
            *ranOn = true;
        };
        {
            auto clock = std::make_unique<FakeClock>();
            sleeper(*clock, &freed, &ranOn);  // detached, as the app's timers are
            if (wokenFirst)
                clock->advance(10s);
            QVERIFY(!freed);
        }
        QVERIFY(freed);
        QCoreApplication::processEvents();
        QVERIFY(!ranOn);
    }

    void fakeClockAutoAdvanceRunsLongSchedulesInstantly()
    {
        FakeClock clock;
        clock.setAutoAdvance(true);
        const QDateTime start = clock.now();
        auto schedule = [&]() -> QCoro::Task<int> {
            int polls = 0;
            while (clock.now() < start.addSecs(6 * 3600)) {
                co_await clock.sleep(300s);
                ++polls;
            }
            co_return polls;
        };
        QCOMPARE(QCoro::waitFor(schedule()), 72);
        QCOMPARE(clock.totalRequested(), std::chrono::milliseconds(6h));
    }

    void moveAcrossFileSystemsNeverReplaces()
    {
        test::TempHome home;
        QTemporaryDir elsewhere(QStringLiteral("/dev/shm/harkwell-move-XXXXXX"));
        struct stat a {}, b {};
        if (!elsewhere.isValid() || ::stat("/dev/shm", &a) != 0 || ::stat(QFile::encodeName(home.path()).constData(), &b) != 0
            || a.st_dev == b.st_dev)
            QSKIP("needs a second file system at /dev/shm");
        QDir().mkpath(elsewhere.path() + "/Old/sub");
        QFile file(elsewhere.path() + "/Old/sub/note.md");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("kept");
        file.close();

        // Taken: nothing moves, nothing is left beside it.
        home.writeFile("Taken/mine.md", "theirs");
        const auto refused = ItemMove::move(elsewhere.path() + "/Old", home.path() + "/Taken");
        QVERIFY(!refused);
        QVERIFY(QFile::exists(elsewhere.path() + "/Old/sub/note.md"));
        QCOMPARE(QDir(home.path() + "/Taken").entryList(QDir::Files), QStringList{"mine.md"});

        QVERIFY(ItemMove::move(elsewhere.path() + "/Old", home.path() + "/New").has_value());
        QVERIFY(!QFile::exists(elsewhere.path() + "/Old"));
        QFile moved(home.path() + "/New/sub/note.md");
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), QByteArray("kept"));
        QCOMPARE(QDir(home.path()).entryList(QStringList{".New*", ".Taken*"}, QDir::AllEntries | QDir::Hidden), QStringList());
    }

    void serialQueueRunsInOrderOnItsThread()
    {
        SerialQueue queue("harkwell.test.queue");
        QList<int> seen;
        QThread* worker = nullptr;
        for (int i = 0; i < 100; ++i)
            queue.post([&, i] { seen << i; worker = QThread::currentThread(); });
        queue.sync([] {});
        QCOMPARE(seen.size(), 100);
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));
        QVERIFY(worker != QThread::currentThread());
    }

    void schemeLookup_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("handled");
        QTest::newRow("registered scheme") << "obsidian://open?path=/n.md" << true;
        QTest::newRow("unregistered scheme") << "nothing://x" << false;
        QTest::newRow("web link, not asked") << "https://harkwell.example/" << true;
        QTest::newRow("lookup that hangs") << "hang://x" << false;
    }

    void schemeLookup()
    {
        QFETCH(QString, link);
        QFETCH(bool, handled);
        test::TempHome home;
        const QString bin = home.make("bin");
        const QString pidFile = home.path() + "/sleeper.pid";
        QFile script(bin + "/xdg-mime");
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n"
                     "case \"$3\" in\n"
                     "x-scheme-handler/obsidian) echo md.obsidian.Obsidian.desktop ;;\n"
                     "x-scheme-handler/hang) sleep 30 & echo $! > \"$HARKWELL_TEST_PIDFILE\"; wait ;;\n"
                     "esac\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        EnvironmentValue path("PATH", QFile::encodeName(bin) + ':' + qgetenv("PATH"));
        EnvironmentValue pid("HARKWELL_TEST_PIDFILE", QFile::encodeName(pidFile));

        SpawnProcessRunner runner;
        const XdgSchemeHandlers handlers(runner, 300ms);
        QCOMPARE(handlers.hasHandler(QUrl(link)), handled);

        // A lookup cut off at its limit takes the script's own children with it.
        QFile written(pidFile);
        if (!link.startsWith("hang"))
            return;
        QVERIFY(written.open(QIODevice::ReadOnly));
        const qint64 sleeper = written.readAll().trimmed().toLongLong();
        QVERIFY(sleeper > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!processRuns(sleeper), 5000);
    }

    // An idle app never maps FFmpeg; the first file written brings it in. No test before this one
    // may touch a media class.
    void codecsLoadOnFirstUse()
    {
        QVERIFY2(!mapped("libavcodec"), "FFmpeg is mapped before any audio was encoded");

        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("tone.m4a"));
        constexpr int kRate = 48000;
        constexpr qint64 kFrames = 3 * kRate + 123;
        // AAC codes whole frames of 1024; the last one comes back with its padding.
        constexpr qint64 kDecoded = (kFrames + 1023) / 1024 * 1024;
        std::vector<float> left(kFrames), right(kFrames);
        for (qint64 i = 0; i < kFrames; ++i) {
            left[size_t(i)] = 0.5f * float(std::sin(2 * std::numbers::pi * 440 * double(i) / kRate));
            right[size_t(i)] = -left[size_t(i)];
        }
        const float* channels[] = {left.data(), right.data()};
        {
            auto writer = AacFileWriter::create(path, kRate, 2, 128000);
            QVERIFY2(writer, writer ? "" : qPrintable(writer.error()));
            QVERIFY(mapped("libavcodec"));
            QVERIFY((*writer)->write(channels, kFrames).has_value());
            QVERIFY((*writer)->close().has_value());
        }

        auto reader = AudioFileReader::open(path);
        QVERIFY2(reader, reader ? "" : qPrintable(reader.error()));
        QCOMPARE((*reader)->format().sampleRate, double(kRate));
        QCOMPARE((*reader)->format().channels, 2);
        std::vector<float> a(4096), b(4096);
        float* into[] = {a.data(), b.data()};
        qint64 total = 0;
        for (;;) {
            const auto got = (*reader)->read(into, 4096);
            QVERIFY(got.has_value());
            if (*got == 0)
                break;
            total += *got;
        }
        QCOMPARE(total, kDecoded);
        QCOMPARE((*reader)->position(), kDecoded);
    }

    void codecModuleThatCannotBeLoadedSaysWhy_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "missing.so" << "No such file";
        QTest::newRow("not a library") << "text.so" << "invalid ELF header";
        QTest::newRow("a library, not the codecs")
            << QLibraryInfo::path(QLibraryInfo::LibrariesPath) + "/libQt6Core.so.6" << "harkwell_media_codecs";
    }

    void codecModuleThatCannotBeLoadedSaysWhy()
    {
        QFETCH(QString, module);
        QFETCH(QString, reason);
        QTemporaryDir folder;
        QFile text(folder.filePath(QStringLiteral("text.so")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write(QByteArray(256, 'x'));
        text.close();

        const auto loaded = MediaCodecs::load(QDir(folder.path()).absoluteFilePath(module));
        QVERIFY(!loaded);
        QVERIFY2(loaded.error().startsWith("Harkwell's audio codecs could not be loaded: ")
                     && loaded.error().contains(reason),
                 qPrintable(loaded.error()));
    }

    void descriptorLimitIsRaisedAndAWalkTakesAQuarter_data()
    {
        QTest::addColumn<int>("soft");
        QTest::addColumn<int>("budget");
        QTest::newRow("a desktop session's") << 1024 << 256;
        QTest::newRow("a small one") << 64 << 16;
        QTest::newRow("a tiny one") << 20 << 8;
        QTest::newRow("a large one") << 4096 << 512;
    }

    void descriptorLimitIsRaisedAndAWalkTakesAQuarter()
    {
        QFETCH(int, soft);
        QFETCH(int, budget);
        struct rlimit saved {};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        QVERIFY2(saved.rlim_max >= rlim_t(soft), "the hard descriptor limit is below the row's soft one");
        struct rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(soft);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        const int walkBudget = ProcessLimits::walkDescriptorBudget();
        ProcessLimits::raiseDescriptorLimit();
        struct rlimit raised {};
        ::getrlimit(RLIMIT_NOFILE, &raised);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QCOMPARE(walkBudget, budget);
        QCOMPARE(raised.rlim_cur, saved.rlim_max);
    }
};

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
