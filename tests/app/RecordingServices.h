#pragma once
// A stand-in for the application's services that records every call in order and answers with the
// settings the test gives it. Its scanner lists nothing and counts its refreshes; its recorder has
// no audio system.

#include "app/AppServices.h"
#include "foundation/Settings.h"
#include "platform/clock/FakeClock.h"
#include "recording/RecordingSession.h"
#include "vault/FileScanner.h"
#include "vault/ScanListers.h"

#include <QHash>
#include <QMutex>
#include <QStringList>

#include <atomic>
#include <memory>

namespace harkwell::test {

// Lists the vault and special-folder files the test gives and nothing else; counts the vault listings, one per refresh.
class CountingListers final : public ScanListers {
public:
    std::atomic<int> vaultListings = 0;

    void setVaultFiles(QList<FileEntry> files)
    {
        QMutexLocker locker(&m_lock);
        m_vaultFiles = std::move(files);
    }

    Listing vault(const QString&, const QDateTime&, const QSet<QString>&, const QStringList&) override
    {
        ++vaultListings;
        QMutexLocker locker(&m_lock);
        return m_vaultFiles;
    }
    Listing workspace(const QString&, const QDateTime&, const QSet<QString>&, const QStringList&, const QStringList&) override
    {
        return QList<FileEntry>();
    }
    Listing remotes(const QString&, const QDateTime&, const QSet<QString>&, const QStringList&) override { return QList<FileEntry>(); }
    QList<FileEntry> specialFolder(const QString&, const QString&, FileEntry::Source source, std::optional<int>,
                                   const QStringList&) override
    {
        QMutexLocker locker(&m_lock);
        return m_specialFiles.value(source);
    }

    void setSpecialFiles(FileEntry::Source source, QList<FileEntry> files)
    {
        QMutexLocker locker(&m_lock);
        m_specialFiles.insert(source, std::move(files));
    }

private:
    QMutex m_lock;  // guards both lists
    QList<FileEntry> m_vaultFiles;
    QHash<FileEntry::Source, QList<FileEntry>> m_specialFiles;
};

class RecordingServices final : public AppServices {
public:
    bool keep = false;
    bool watching = false;
    bool upload = false;
    bool paired = false;
    bool recording = true;        // an audio system answers
    bool settingsFile = true;     // a settings file exists
    QStringList calls;
    std::function<void()> welcomeCompletion;  // the last one handed to showWelcome
    FileScanner* searchScanner = nullptr;     // the last one handed to registerSearchKey
    FakeClock clock;
    std::shared_ptr<CountingListers> listers = std::make_shared<CountingListers>();

    void startUpdater() override { calls << "updater.start"; }
    void runMigration() override { calls << "migration"; }
    std::unique_ptr<FileScanner> makeScanner() override
    {
        calls << "scanner.make";
        return std::make_unique<FileScanner>(listers, Settings::shared(), clock);
    }
    void runEnvironmentCheckInBackground() override { calls << "environmentCheck"; }
    bool keepVoiceMemosRunning() override { return keep; }
    void startVoiceMemosKeeper() override { calls << "keeper.start"; }
    void stopVoiceMemosKeeper() override { calls << "keeper.stop"; }
    void readRetryWatermark() override { calls << "retryWatermark"; }
    void enableLoginItemByDefaultOnce() override { calls << "loginItem.enableByDefaultOnce"; }
    void connectTranscriptNotifier() override { calls << "notifier.connect"; }
    void startCaptureStatus() override { calls << "status.start"; }
    bool hasEnabledWatchedFolders() override { return watching; }
    bool uploadEnabled() override { return upload; }
    bool isPaired() override { return paired; }
    void startCapturePipeline() override { calls << "pipeline.start"; }
    void stopCapturePipeline() override { calls << "pipeline.stop"; }
    void resumeUnfinishedCaptures() override { calls << "pipeline.resumeUnfinished"; }
    void reloadCaptureCoordinator() override { calls << "coordinator.reload"; }

    RecordingSession& recordingSession() override
    {
        if (!m_session) {
            RecordingSession::Services services;
            services.settings = &Settings::shared();
            services.clock = &clock;
            m_session = std::make_unique<RecordingSession>(std::move(services));
        }
        return *m_session;
    }
    bool recordingSupported() override { return recording; }
    void recorderLaunchCheck() override { calls << "recorder.launchCheck"; }
    void installRecorderWindow() override { calls << "recorder.install"; }
    void applyQuickKey() override { calls << "recorder.applyQuickKey"; }
    void bringRecorderForward() override { calls << "recorder.front"; }
    void quickRecord() override { calls << "recorder.quickRecord"; }
    void confirmDiscard(const QString& message, const QString&, std::function<void()> onConfirm) override
    {
        calls << "confirm:" + message;
        onConfirm();
    }

    void registerSearchKey(FileScanner& scanner) override
    {
        calls << "search.registerKey";
        searchScanner = &scanner;
    }
    void toggleSearch() override { calls << "search.toggle"; }
    bool settingsFileExists() override { return settingsFile; }
    void reloadSettings() override { calls << "settings.load"; }
    void showWelcome(std::function<void()> onComplete) override
    {
        calls << "welcome.show";
        welcomeCompletion = std::move(onComplete);
    }
    void showSettings() override { calls << "settings.show"; }

private:
    std::unique_ptr<RecordingSession> m_session;
};

}  // namespace harkwell::test
