#include "PipelineFixture.h"

#include "foundation/HarkwellLog.h"
#include "pipeline/CaptureRetry.h"
#include "platform/defaults/Defaults.h"
#include "platform/filesystem/FileSystem.h"
#include "platform/paths/Paths.h"
#include "service/Keychain.h"

#include <QFile>

namespace harkwell::test {

PipelineFixture::PipelineFixture(bool uploads)
{
    clock.setAutoAdvance(true);
    home.make(QStringLiteral("Vault"));
    home.make(QStringLiteral("Memos"));

    settings = std::make_unique<Settings>(home.path() + QStringLiteral("/settings.json"));
    settings->update([&](AppSettings& s) {
        s.vaultPath = QStringLiteral("~/Vault");
        s.captureMirelonEnabled = uploads;
        WatchedFolder folder;
        folder.id = QString::fromLatin1(kFolderId);
        folder.path = QStringLiteral("~/Memos");
        folder.displayName = QStringLiteral("Memos");
        s.watchedFoldersRaw = QList<WatchedFolder>{folder};
    });

    Keychain::setStore(&secrets);
    isPaired(true);
    // Notes made by the tests are all younger than the retry watermark.
    Defaults::standard().setDate(QString::fromLatin1(CaptureRetry::kWatermarkKey), QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC));

    ledger = std::make_unique<CaptureStateStore>(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
    // The folder counts as indexed, so a file in it is new to the first tick.
    ledger->markSeen(QString::fromLatin1(CaptureStateStore::kIndexMarker), QString(), QString::fromLatin1(kFolderId), clock.now());
    coordinator = std::make_unique<CaptureCoordinator>(
        *ledger, CaptureProbes{FileSystem::local(), durations, coordinatorClock},
        [this] { return settings->enabledWatchedFolders(); });
    makePipeline();
}

void PipelineFixture::makePipeline()
{
    command = std::make_unique<AfterTranscriptCommand>(commandClock, [this] {
        return AfterTranscriptCommand::Setup{settings->afterTranscriptCommand().value_or(QString()), settings->settings().vaultPath};
    });

    CapturePipeline::Services services;
    services.settings = settings.get();
    services.clock = &clock;
    services.seenLedger = ledger.get();
    services.afterTranscript = command.get();
    services.coordinator = coordinator.get();
    services.makeClient = [this] {
        auto client = std::make_shared<MirelonClient>(service.baseUrl(), network, clock);
        if (clientLimits)
            client->setLimits(*clientLimits);
        return client;
    };
    services.isPaired = [] { return Keychain::hasDeviceToken(); };
    pipeline = std::make_unique<CapturePipeline>(std::move(services));
    pipeline->setOnCaptureEvent([this](const CaptureEvent& event) { events.append(event); });
}

void PipelineFixture::restart()
{
    pipeline.reset();
    command.reset();
    makePipeline();
}

PipelineFixture::~PipelineFixture()
{
    pipeline.reset();
    coordinator.reset();
    Keychain::setStore(nullptr);
}

bool PipelineFixture::isPaired(bool paired)
{
    return Keychain::write(QString::fromLatin1(Keychain::kDeviceTokenAccount),
                           paired ? std::optional(QStringLiteral("hwdt_test")) : std::nullopt, Keychain::deviceTokenService());
}

QString PipelineFixture::dropFile(const QString& name, const QByteArray& bytes) const
{
    return home.writeFile(QStringLiteral("Memos/") + name, bytes);
}

FolderWatcher::NewCapture PipelineFixture::capture(const QString& name, const QString& id) const
{
    return {QUrl::fromLocalFile(memos() + QLatin1Char('/') + name), id, clock.now(), QString::fromLatin1(kFolderId)};
}

InboxFrontmatter PipelineFixture::noteFor(const QString& id, std::optional<QString> status, std::optional<QString> key)
{
    InboxFrontmatter note;
    note.id = id;
    note.created = QDateTime(QDate(2026, 3, 4), QTime(8, 0), Qt::UTC);
    note.audioPath = InboxWriter::audioRelativePath(id);
    note.mirelonJobStatus = std::move(status);
    note.externalId = std::move(key);
    return note;
}

void PipelineFixture::placeNote(const InboxFrontmatter& note, const QByteArray& audio) const
{
    const InboxWriter writer = inbox();
    (void)writer.ensureDirectories();
    (void)writer.writeMarkdown(note, QString());
    QFile file(*writer.audioCopyPath(note.id));
    if (file.open(QIODevice::WriteOnly))
        file.write(audio);
}

std::optional<InboxFrontmatter> PipelineFixture::note(const QString& id) const
{
    auto read = InboxWriter::readFrontmatter(*inbox().notePath(id));
    return read ? std::optional(*read) : std::nullopt;
}

QString PipelineFixture::body(const QString& id) const { return InboxWriter::readBody(*inbox().notePath(id)).value_or(QString()); }

QStringList PipelineFixture::eventNames() const
{
    QStringList names;
    for (const CaptureEvent& event : events) {
        switch (event.kind) {
        case CaptureEvent::Kind::Sent: names << QStringLiteral("sent"); break;
        case CaptureEvent::Kind::TranscriptReady: names << QStringLiteral("transcriptReady"); break;
        case CaptureEvent::Kind::Failed: names << QStringLiteral("failed:") + event.status; break;
        }
    }
    return names;
}

QString PipelineFixture::logText()
{
    HarkwellLog::waitUntilWritten();
    QFile file(Paths::logFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace harkwell::test
