#include "pipeline/AfterTranscriptCommand.h"

#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "platform/paths/Paths.h"

#include <QDir>
#include <QProcess>
#include <QPointer>
#include <QProcessEnvironment>
#include <QThread>

#include <qcoro/qcorosignal.h>

#include <memory>

#include <signal.h>
#include <unistd.h>

namespace harkwell {

namespace {

void log(const QString& line)
{
    HarkwellLog::log(QStringLiteral("[harkwell] after-transcript: ") + line);
}

// Shared between a run and its time-limit watch, which may outlive the run by its pending sleep.
struct RunState {
    bool finished = false;
    bool timedOut = false;
    bool failedToStart = false;
    qint64 group = 0;
};

// QProcess's started() is a private signal that coroutines cannot await; this one settles once the
// launch has either succeeded or failed.
class LaunchWatch : public QObject {
    Q_OBJECT
public:
    explicit LaunchWatch(QProcess* process) : QObject(process)
    {
        connect(process, &QProcess::started, this, &LaunchWatch::settled);
        connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                emit settled();
        });
    }
signals:
    void settled();
};

void signalGroup(qint64 group, int sig)
{
    if (group > 1)
        ::kill(-pid_t(group), sig);
}

// A terminate request to the whole group at the limit, then a kill for whatever ignored it.
QCoro::Task<> watchTimeLimit(Clock& clock, std::shared_ptr<RunState> state)
{
    co_await clock.sleep(AfterTranscriptCommand::kTimeLimit);
    if (state->finished)
        co_return;
    state->timedOut = true;
    signalGroup(state->group, SIGTERM);
    co_await clock.sleep(AfterTranscriptCommand::kKillGrace);
    if (!state->finished)
        signalGroup(state->group, SIGKILL);
}

void appendBounded(QByteArray& buffer, const QByteArray& data)
{
    if (data.isEmpty())
        return;
    buffer.append(data);
    if (buffer.size() > AfterTranscriptCommand::kBufferLimit)
        buffer = buffer.right(AfterTranscriptCommand::kTailBytes);
}

}  // namespace

AfterTranscriptCommand::AfterTranscriptCommand(Clock& clock, SetupSource setup, QObject* parent)
    : QObject(parent), m_clock(clock), m_setup(std::move(setup))
{
}

AfterTranscriptCommand& AfterTranscriptCommand::shared()
{
    static AfterTranscriptCommand* command = new AfterTranscriptCommand(Clock::system(), [] {
        Settings& settings = Settings::shared();
        return Setup{settings.afterTranscriptCommand().value_or(QString()), settings.settings().vaultPath};
    });
    return *command;
}

bool AfterTranscriptCommand::isRunning(const QString& id) const
{
    QMutexLocker locker(&m_lock);
    return m_running.contains(id);
}

void AfterTranscriptCommand::transcriptWritten(const QString& id)
{
    const Setup setup = m_setup();
    const QString command = setup.command.trimmed();
    if (command.isEmpty())
        return;
    {
        QMutexLocker locker(&m_lock);
        if (m_running.contains(id)) {
            locker.unlock();
            log(QStringLiteral("%1 already running; not started again").arg(id));
            return;
        }
        m_running.insert(id);
    }
    const QString folder = Paths::expandTilde(setup.vaultPath);
    const QString file = QDir(folder).filePath(QStringLiteral("_inbox/%1.md").arg(id));
    QMetaObject::invokeMethod(
        this, [this, command, id, folder, file] { run(command, id, folder, file); }, Qt::QueuedConnection);
}

void AfterTranscriptCommand::finish(const QString& id)
{
    {
        QMutexLocker locker(&m_lock);
        m_running.remove(id);
    }
    emit runEnded(id);
}

QCoro::Task<> AfterTranscriptCommand::run(QString command, QString id, QString folder, QString file)
{
    auto process = std::make_unique<QProcess>();
    auto state = std::make_shared<RunState>();
    QByteArray output;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HARKWELL_ID"), id);
    environment.insert(QStringLiteral("HARKWELL_FILE"), file);
    environment.insert(QStringLiteral("HARKWELL_FOLDER"), folder);

    process->setProgram(QString::fromLatin1(kShell));
    process->setArguments({QStringLiteral("-lc"), command});
    process->setWorkingDirectory(folder);
    process->setProcessEnvironment(environment);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::MergedChannels);
    // Its own process group, so the limit reaches every child the command starts.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });

    QObject::connect(process.get(), &QProcess::readyReadStandardOutput, process.get(),
                     [&output, p = process.get()] { appendBounded(output, p->readAllStandardOutput()); });
    QObject::connect(process.get(), &QProcess::finished, process.get(), [state] { state->finished = true; });
    QObject::connect(process.get(), &QProcess::errorOccurred, process.get(), [state](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            state->failedToStart = true;
    });
    auto* launch = new LaunchWatch(process.get());

    // The object may go before a command it started ends; the run then stops touching it.
    QPointer<AfterTranscriptCommand> self(this);
    const QDateTime started = m_clock.now();
    process->start(QIODevice::ReadOnly);
    if (process->state() == QProcess::Starting && !state->failedToStart)
        co_await qCoro(launch, &LaunchWatch::settled);
    if (!self)
        co_return;
    if (state->failedToStart) {
        QObject::disconnect(process.get(), nullptr, nullptr, nullptr);
        log(QStringLiteral("could not start for %1: %2").arg(id, process->errorString()));
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(1000);
        }
        finish(id);
        co_return;
    }
    state->group = process->processId();
    log(QStringLiteral("started for %1 (pid %2)").arg(id, QString::number(state->group)));

    watchTimeLimit(m_clock, state);

    if (!state->finished)
        co_await qCoro(process.get(), &QProcess::finished);
    state->finished = true;
    if (!self)
        co_return;

    // Whatever the shell left behind in its group does not outlive a stopped command.
    if (state->timedOut)
        signalGroup(state->group, SIGKILL);

    appendBounded(output, process->readAllStandardOutput());
    QObject::disconnect(process.get(), nullptr, nullptr, nullptr);

    const QString tail = QString::fromUtf8(output.right(kTailBytes)).trimmed();
    const qint64 seconds = started.secsTo(m_clock.now());
    if (state->timedOut)
        log(QStringLiteral("%1 stopped after %2 s (time limit)").arg(id, QString::number(seconds)));
    else
        log(QStringLiteral("%1 exited %2 after %3 s").arg(id, QString::number(process->exitCode()), QString::number(seconds)));
    if (!tail.isEmpty())
        log(QStringLiteral("%1 output (end):\n%2").arg(id, tail));

    finish(id);
}

}  // namespace harkwell

#include "AfterTranscriptCommand.moc"
