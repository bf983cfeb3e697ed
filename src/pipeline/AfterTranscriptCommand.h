#pragma once
// Runs the user's after-transcript command for a capture whose transcript has just been written:
// through the login shell in the vault folder, one run per capture id at a time, under a time
// limit that ends the command's whole process group.

#include "platform/clock/Clock.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>

namespace harkwell {

class AfterTranscriptCommand final : public QObject {
    Q_OBJECT
public:
    // What a run needs from the settings, read afresh for every transcript.
    struct Setup {
        QString command;
        QString vaultPath;  // may begin with "~"
    };
    using SetupSource = std::function<Setup()>;

    AfterTranscriptCommand(Clock& clock, SetupSource setup, QObject* parent = nullptr);

    // Reads the command and the vault from Settings::shared(); lives on the main thread.
    static AfterTranscriptCommand& shared();

    // Returns at once; the command runs later on this object's thread. Callable from any thread.
    void transcriptWritten(const QString& id);

    bool isRunning(const QString& id) const;

    static constexpr std::chrono::seconds kTimeLimit{600};
    // How long a command may take to leave after the terminate request before its group is killed.
    static constexpr std::chrono::seconds kKillGrace{5};
    static constexpr qsizetype kTailBytes = 2000;
    static constexpr qsizetype kBufferLimit = 4000;

    static constexpr auto kShell = "/bin/zsh";

signals:
    // A run for `id` has ended (could not start, exited, or was stopped at the limit).
    void runEnded(const QString& id);

private:
    QCoro::Task<> run(QString command, QString id, QString folder, QString file);
    void finish(const QString& id);

    Clock& m_clock;
    SetupSource m_setup;
    mutable QMutex m_lock;  // guards m_running
    QSet<QString> m_running;
};

}  // namespace harkwell
