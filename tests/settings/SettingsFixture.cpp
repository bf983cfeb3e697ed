#include "SettingsFixture.h"

#include "capture/CaptureAccess.h"
#include "foundation/HarkwellLog.h"
#include "foundation/InboxWriter.h"
#include "pipeline/CaptureRetry.h"
#include "platform/defaults/Defaults.h"
#include "platform/filesystem/FileSystem.h"
#include "platform/paths/Paths.h"
#include "foundation/Opening.h"
#include "service/Keychain.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkReply>
#include <QThreadPool>
#include <QJsonDocument>

namespace harkwell::test {

SettingsFixture::SettingsFixture()
{
    clock.setAutoAdvance(true);
    home.make(QStringLiteral("Vault"));
    Keychain::setStore(&secrets);
    Opening::setWorkspace(&workspace);
    MicrophoneAccess::setCurrent(&microphone);
    // Captures made by the tests are all younger than the retry watermark.
    Defaults::standard().setDate(QString::fromLatin1(CaptureRetry::kWatermarkKey),
                                 QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC));

    settings = std::make_unique<Settings>(Paths::settingsFile());
    settings->update([](AppSettings& s) { s.vaultPath = QStringLiteral("~/Vault"); });
    ledger = std::make_unique<CaptureStateStore>(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
    command = std::make_unique<AfterTranscriptCommand>(clock, [] { return AfterTranscriptCommand::Setup{}; });
    CapturePipeline::Services pipelineServices;
    pipelineServices.settings = settings.get();
    pipelineServices.clock = &clock;
    pipelineServices.seenLedger = ledger.get();
    pipelineServices.afterTranscript = command.get();
    pipelineServices.makeClient = [this] { return std::make_shared<MirelonClient>(service.baseUrl(), network, clock); };
    pipelineServices.isPaired = [] { return Keychain::hasDeviceToken(); };
    pipeline = std::make_unique<CapturePipeline>(std::move(pipelineServices));
    notifier = std::make_unique<TranscriptNotifier>(*settings, clock, &notifications, true);
    updater = std::make_unique<AppUpdater>(Defaults::standard());
}

SettingsFixture::~SettingsFixture()
{
    // The pipeline's coroutines outlive this fixture unless each is left asleep on the clock, which
    // unwinds them when it goes: a request deleted unanswered with the network would never resume
    // its poll (a leak), and work finishing off the thread later would resume one against a
    // pipeline that is gone. So end the requests and let the background work land, until neither
    // is left.
    // A request counts until its reply is deleted, which happens once its awaiter has finished; with
    // the clock standing still, a poll that gets its answer goes back to sleep and stays there.
    clock.setAutoAdvance(false);
    for (int quietTurns = 0, turn = 0; quietTurns < 2 && turn < 100; ++turn) {
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const QList<QNetworkReply*> replies = network.findChildren<QNetworkReply*>();
        for (QNetworkReply* reply : replies)
            reply->abort();
        const bool busy = !replies.isEmpty() || QThreadPool::globalInstance()->activeThreadCount() > 0;
        quietTurns = busy ? 0 : quietTurns + 1;
    }
    m_view.reset();
    // Unwinding a poll releases its claim on the pipeline, so the pipeline must still be there.
    clock.unwindSleepers();
    pipeline.reset();
    MicrophoneAccess::setCurrent(nullptr);
    Opening::setWorkspace(nullptr);
    Keychain::setStore(nullptr);
}

void SettingsFixture::store(const std::function<void(AppSettings&)>& change) { settings->update(change); }

void SettingsFixture::pair(bool paired)
{
    Keychain::write(QString::fromLatin1(Keychain::kDeviceTokenAccount),
                    paired ? std::optional(QStringLiteral("hwdt_0123456789abcdef")) : std::nullopt,
                    Keychain::deviceTokenService());
}

void SettingsFixture::placePendingCapture(const QString& id) const
{
    InboxFrontmatter note;
    note.id = id;
    note.created = clock.now();
    note.audioPath = InboxWriter::audioRelativePath(id);
    note.mirelonJobStatus = QStringLiteral("upload_failed");
    const InboxWriter inbox(vault());
    QVERIFY(inbox.ensureDirectories().has_value());
    QVERIFY(inbox.writeMarkdown(note, QString()).has_value());
    QFile audio(*inbox.audioCopyPath(id));
    QVERIFY(audio.open(QIODevice::WriteOnly));
    audio.write("audio");
}

QString SettingsFixture::placeVoiceMemo(const QString& name) const
{
    QDir().mkpath(Paths::voiceMemosFolder());
    const QString path = Paths::voiceMemosFolder() + u'/' + name;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("audio");
    return path;
}

SettingsServices SettingsFixture::services()
{
    SettingsServices s;
    s.settings = settings.get();
    s.clock = &clock;
    s.session = &network;
    s.pipeline = pipeline.get();
    s.seenLedger = ledger.get();
    s.notifier = notifier.get();
    s.updater = updater.get();
    s.folderChooser = &chooser;
    s.files = &files;
    s.pairingResume = [this] { ++resumes; };
    s.app.recordingIsActive = [this] { return recordingActive; };
    s.app.applyEchoCancellation = [this] { appCalls << QStringLiteral("echo"); };
    s.app.applyCaptureSettings = [this] { appCalls << QStringLiteral("capture"); };
    s.app.applyQuickKey = [this] { appCalls << QStringLiteral("quickKey"); };
    s.app.promptAndRelaunch = [this](const QString& reason) { appCalls << QStringLiteral("relaunch:") + reason; };
    s.app.launchAtLogin = [this] { return loginEnabled; };
    s.app.setLaunchAtLogin = [this](bool on) -> std::optional<QString> {
        appCalls << (on ? QStringLiteral("login:on") : QStringLiteral("login:off"));
        if (loginFailure)
            return loginFailure;
        loginEnabled = on;
        return std::nullopt;
    };
    s.app.audioApps = [this] { return apps; };
    s.app.inputDevices = [this] { return inputs; };
    s.app.productPage = [] { return QUrl(QStringLiteral("https://harkwell.example/en/mac/")); };
    s.app.setupGuide = [] { return QUrl(QStringLiteral("https://mirelon.example/en/onboarding/")); };
    return s;
}

SettingsView& SettingsFixture::view()
{
    if (!m_view) {
        m_view = std::make_unique<SettingsView>(services());
        m_view->show();
    }
    return *m_view;
}

QJsonObject SettingsFixture::settingsFile() const
{
    QFile file(Paths::settingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QString SettingsFixture::logText()
{
    HarkwellLog::waitUntilWritten();
    QFile file(Paths::logFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QAbstractButton* button(QWidget* root, const QString& text)
{
    const QList<QAbstractButton*> buttons = root->findChildren<QAbstractButton*>();
    for (QAbstractButton* candidate : buttons) {
        if (candidate->text() == text)
            return candidate;
    }
    qWarning("no button \"%s\"", qPrintable(text));
    return nullptr;
}

bool isShown(QWidget* widget) { return widget && !widget->isHidden(); }

}  // namespace harkwell::test
