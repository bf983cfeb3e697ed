#include "capture/CaptureGuards.h"

#include "foundation/HarkwellLog.h"

#include <QFutureWatcher>
#include <QPointer>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorosignal.h>

#include <memory>

namespace harkwell {

namespace {

// A probe stuck on a dead mount keeps its thread; a pool of its own keeps such threads from
// starving the global pool that the rest of the application shares. Never destroyed: its
// destructor would wait for a stuck probe.
QThreadPool& probeThreads()
{
    static QThreadPool* pool = [] {
        auto* threads = new QThreadPool;
        threads->setMaxThreadCount(8);
        return threads;
    }();
    return *pool;
}

// Wakes the waiting probe at the first of two events: the answer, or the time limit.
class ProbeRace : public QObject {
    Q_OBJECT
public:
    void settle()
    {
        if (!m_settled) {
            m_settled = true;
            emit settled();
        }
    }
signals:
    void settled();

private:
    bool m_settled = false;
};

QCoro::Task<> settleAfter(Clock& clock, std::chrono::milliseconds limit, QPointer<ProbeRace> race)
{
    co_await clock.sleep(limit);
    if (race)
        race->settle();
}

}  // namespace

std::optional<QDateTime> CaptureGuards::modified(const QString& path) const
{
    const std::optional<FileStat> info = m_probes.files.linkStat(path);
    if (!info || !info->modified.isValid())
        return std::nullopt;
    return info->modified;
}

std::optional<qint64> CaptureGuards::size(const QString& path) const
{
    const std::optional<FileStat> info = m_probes.files.linkStat(path);
    if (!info)
        return std::nullopt;
    return info->size;
}

QCoro::Task<std::optional<double>> CaptureGuards::duration(const QString& path) const
{
    AudioDurationProbe* probe = &m_probes.durations;
    QFuture<std::optional<double>> answer = QtConcurrent::run(&probeThreads(), [probe, path] { return probe->duration(path); });

    auto race = std::make_unique<ProbeRace>();
    QFutureWatcher<std::optional<double>> watcher;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, race.get(), &ProbeRace::settle);
    watcher.setFuture(answer);
    settleAfter(m_probes.clock, kDurationProbeLimit, race.get());
    co_await qCoro(race.get(), &ProbeRace::settled);

    if (!answer.isFinished()) {
        HarkwellLog::log(QStringLiteral("[harkwell] capture: duration probe gave no answer within %1s, treating as unreadable: %2")
                             .arg(QString::number(kDurationProbeLimit.count()), path));
        co_return std::nullopt;
    }
    co_return answer.result();
}

std::optional<double> CaptureGuards::parseDuration(const QString& afinfoOutput)
{
    static const QRegularExpression newlines(QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    static const QRegularExpression blanksAtEnds(QStringLiteral("^[ \\t]+|[ \\t]+$"));
    static const QRegularExpression decimal(QStringLiteral("^[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
    for (QString line : afinfoOutput.split(newlines)) {
        line.remove(blanksAtEnds);
        const qsizetype marker = line.indexOf(QStringLiteral(" sec"));
        if (marker < 0)
            continue;
        QString number = line.left(marker);
        number.remove(blanksAtEnds);
        if (!decimal.match(number).hasMatch())
            continue;
        bool ok = false;
        const double seconds = number.toDouble(&ok);
        if (ok)
            return seconds;
    }
    return std::nullopt;
}

}  // namespace harkwell

#include "CaptureGuards.moc"
