#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace harkwell::test {

TempHome::TempHome() : m_oldHome(qgetenv("HOME")), m_oldRuntime(qgetenv("XDG_RUNTIME_DIR"))
{
    qputenv("HOME", QFile::encodeName(m_dir.path()));
    const QString runtime = m_dir.path() + QStringLiteral("/.runtime");
    QDir().mkpath(runtime);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
}

TempHome::~TempHome()
{
    qputenv("HOME", m_oldHome);
    if (m_oldRuntime.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
}

QString TempHome::make(const QString& relativeFolder) const
{
    const QString full = m_dir.path() + QLatin1Char('/') + relativeFolder;
    QDir().mkpath(full);
    return full;
}

QString TempHome::writeFile(const QString& relative, const QByteArray& content) const
{
    const QString full = m_dir.path() + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile file(full);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return full;
}

}  // namespace harkwell::test
