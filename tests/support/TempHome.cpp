#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace harkwell::test {

namespace {

constexpr std::pair<const char*, const char*> kFolders[] = {
    {"XDG_CONFIG_HOME", "/xdg/config"}, {"XDG_DATA_HOME", "/xdg/data"},   {"XDG_STATE_HOME", "/xdg/state"},
    {"XDG_CACHE_HOME", "/xdg/cache"},   {"XDG_RUNTIME_DIR", "/.runtime"},
};

}  // namespace

TempHome::TempHome()
{
    m_saved.append({"HOME", qgetenv("HOME")});
    qputenv("HOME", QFile::encodeName(m_dir.path()));
    for (const auto& [variable, folder] : kFolders) {
        m_saved.append({variable, qgetenv(variable)});
        const QString path = m_dir.path() + QLatin1String(folder);
        QDir().mkpath(path);
        // As the desktop makes them: the runtime folder has to be private, or Qt complains.
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(variable, QFile::encodeName(path));
    }
}

TempHome::~TempHome()
{
    for (const auto& [variable, value] : m_saved) {
        if (value.isEmpty())
            qunsetenv(variable);
        else
            qputenv(variable, value);
    }
}

QString TempHome::absolute(const QString& path) const
{
    return QDir::isAbsolutePath(path) ? path : m_dir.path() + QLatin1Char('/') + path;
}

QString TempHome::make(const QString& folder) const
{
    const QString full = absolute(folder);
    QDir().mkpath(full);
    return full;
}

QString TempHome::writeFile(const QString& file, const QByteArray& content) const
{
    const QString full = absolute(file);
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile out(full);
    if (out.open(QIODevice::WriteOnly))
        out.write(content);
    return full;
}

}  // namespace harkwell::test
