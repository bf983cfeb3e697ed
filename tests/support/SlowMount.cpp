#include "support/SlowMount.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace harkwell::test {

SlowMount::SlowMount(QString mountPoint, int hangSeconds, Hang hang)
    : m_mountPoint(QDir::cleanPath(std::move(mountPoint))), m_hangSeconds(hangSeconds), m_hang(hang)
{
}

SlowMount::~SlowMount()
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    // Lazily: a listing may still be waiting inside the mount.
    QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-u"), QStringLiteral("-z"), m_mountPoint});
    m_server.kill();
    m_server.waitForFinished(10'000);
}

bool SlowMount::isMounted() const
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    QByteArray escaped = QFile::encodeName(m_mountPoint);
    escaped.replace(" ", "\\040");
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && fields[4] == escaped)
            return true;
    }
    return false;
}

bool SlowMount::start()
{
    QDir().mkpath(m_mountPoint);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SLOW_SECONDS"), QString::number(m_hangSeconds));
    if (m_hang == Hang::ListingAndLookups)
        environment.insert(QStringLiteral("SLOW_LOOKUPS"), QStringLiteral("1"));
    m_server.setProcessEnvironment(environment);
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    // The system's python3, where python3-fuse is installed.
    m_server.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(HARKWELL_SLOW_FS_SCRIPT), m_mountPoint, QStringLiteral("-f")});
    if (!m_server.waitForStarted(10'000)) {
        m_error = QStringLiteral("python3 did not start: ") + m_server.errorString();
        return false;
    }
    const bool mounted = QTest::qWaitFor(
        [this] { return isMounted() || m_server.state() == QProcess::NotRunning; }, 15'000);
    if (!mounted || !isMounted()) {
        m_server.waitForFinished(1'000);
        m_error = QStringLiteral("the FUSE mount at %1 did not come up (python3-fuse, fuse and /dev/fuse are needed): %2")
                      .arg(m_mountPoint, QString::fromLocal8Bit(m_server.readAll()));
        return false;
    }
    return true;
}

}  // namespace harkwell::test
