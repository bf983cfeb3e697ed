#pragma once
// Points HOME (and the runtime folder) at a fresh temporary folder for the fixture's lifetime.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace harkwell::test {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return m_dir.path(); }
    // A path under the home; folders on the way are created.
    QString make(const QString& relativeFolder) const;
    // Writes a file under the home (folders created) and returns its absolute path.
    QString writeFile(const QString& relative, const QByteArray& content) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
    QByteArray m_oldRuntime;
};

}  // namespace harkwell::test
