#pragma once
// A capture pipeline in a temporary home, against the fake Mirelon service on loopback: a vault,
// one watched folder ("memos", no normaliser), a paired computer, the seen ledger and a coordinator
// over that folder. The pipeline's clock moves by itself; the coordinator's and the command's
// clocks move only when the test moves them.

#include "capture/CaptureCoordinator.h"
#include "capture/CaptureStateStore.h"
#include "foundation/InboxWriter.h"
#include "foundation/Settings.h"
#include "pipeline/AfterTranscriptCommand.h"
#include "pipeline/CapturePipeline.h"
#include "platform/clock/FakeClock.h"
#include "platform/media/FakeDurationProbe.h"
#include "platform/secrets/FakeSecretStore.h"
#include "support/FakeMirelonService.h"
#include "support/TempHome.h"

#include <QNetworkAccessManager>
#include <QStringList>

#include <memory>
#include <optional>

namespace harkwell::test {

class PipelineFixture {
public:
    explicit PipelineFixture(bool uploads = true);
    ~PipelineFixture();

    QString vault() const { return home.path() + QStringLiteral("/Vault"); }
    QString memos() const { return home.path() + QStringLiteral("/Memos"); }
    InboxWriter inbox() const { return InboxWriter(vault()); }

    // A file in the watched folder.
    QString dropFile(const QString& name, const QByteArray& bytes) const;
    FolderWatcher::NewCapture capture(const QString& name, const QString& id) const;
    // A note and its audio copy, as an earlier run of the pipeline left them.
    void placeNote(const InboxFrontmatter& note, const QByteArray& audio = "audio") const;
    static InboxFrontmatter noteFor(const QString& id, std::optional<QString> status, std::optional<QString> key = {});

    std::optional<InboxFrontmatter> note(const QString& id) const;
    QString body(const QString& id) const;
    // Events as "sent", "transcriptReady" or "failed:<status>".
    QStringList eventNames() const;
    static QString logText();
    bool isPaired(bool paired);
    // A new pipeline and after-transcript command over the same home, as a restart of the process
    // leaves them; the events heard so far are kept.
    void restart();

    TempHome home;
    FakeClock clock;
    FakeClock coordinatorClock;
    FakeClock commandClock;
    FakeSecretStore secrets;
    FakeDurationProbe durations;
    FakeMirelonService service;
    QNetworkAccessManager network;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<CaptureStateStore> ledger;
    std::unique_ptr<CaptureCoordinator> coordinator;
    std::unique_ptr<AfterTranscriptCommand> command;
    std::unique_ptr<CapturePipeline> pipeline;
    QList<CaptureEvent> events;
    // Limits for every client the pipeline makes; the client's own when absent.
    std::optional<MirelonClient::Limits> clientLimits;

    static constexpr char kFolderId[] = "memos";

private:
    void makePipeline();
};

}  // namespace harkwell::test
