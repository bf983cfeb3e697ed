#pragma once
// Points HOME, the XDG base folders and the runtime folder at a fresh temporary folder for the
// fixture's lifetime. The base folders are set away from their fallbacks under the home, so that
// a path built without its variable lands in the wrong place and shows.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <utility>

namespace harkwell::test {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return m_dir.path(); }
    // A folder under the home (or an absolute path), created with the folders on the way.
    QString make(const QString& folder) const;
    // Writes a file under the home (or at an absolute path), folders created, and returns its
    // absolute path.
    QString writeFile(const QString& file, const QByteArray& content) const;

private:
    QString absolute(const QString& path) const;

    QTemporaryDir m_dir;
    QList<std::pair<const char*, QByteArray>> m_saved;
};

}  // namespace harkwell::test
