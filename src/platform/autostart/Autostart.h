#pragma once
// Opening Harkwell at login, in the words of the login-item code: a registration with a status that
// can be switched on and off.

#include <QString>

#include <expected>

namespace harkwell {

enum class AutostartStatus { NotRegistered, Enabled, RequiresApproval, NotFound };

struct AutostartError {
    QString text;  // user-facing
};

class Autostart {
public:
    virtual ~Autostart() = default;
    virtual AutostartStatus status() const = 0;
    virtual std::expected<void, AutostartError> registerItem() = 0;
    virtual std::expected<void, AutostartError> unregisterItem() = 0;
    // An enabled registration made by another copy of the application (a build tree run before
    // the install) is pointed at this one where that is the installed copy; true when it was.
    virtual std::expected<bool, AutostartError> follow() { return false; }
};

// The XDG autostart entry $XDG_CONFIG_HOME/autostart/app.harkwell.Harkwell.desktop: enabled while it exists
// and is not marked Hidden=true. The desktop never asks for approval.
class XdgAutostart final : public Autostart {
public:
    explicit XdgAutostart(QString executablePath);

    AutostartStatus status() const override;
    std::expected<void, AutostartError> registerItem() override;
    std::expected<void, AutostartError> unregisterItem() override;
    std::expected<bool, AutostartError> follow() override;

    // The Exec= value that starts the executable: one quoted argument, so that blanks, quotation
    // marks, dollar signs, backquotes, backslashes and percent signs all reach the program as they are.
    static QString execLine(const QString& executablePath);
    // The Exec= value of the entry: the bare command name when `harkwell` on the PATH is this very
    // executable (so a reinstalled or moved copy keeps starting), else the executable's path.
    static QString execValue(const QString& executablePath, const QString& onPath);

private:
    QString m_executablePath;
};

}  // namespace harkwell
