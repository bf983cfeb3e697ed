#pragma once
// Turns the signals by which a session or a terminal asks a process to end (SIGTERM at logout or
// from a service manager, SIGINT from Ctrl+C, SIGHUP when the terminal goes) into a call on the
// main thread, so that they lead into the same orderly quit as the menu's Quit. The handler only
// writes the signal's number into a pipe; the event loop reads it.
//
// One instance per process. A second signal of the three, arriving once the first was delivered,
// ends the process at once the default way, for a quit that hangs.

#include <QObject>

#include <expected>

class QSocketNotifier;

namespace harkwell {

struct SignalError {
    QString text;
};

class QuitSignals final : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // Installs the handlers; until then the signals keep their default actions.
    std::expected<void, SignalError> install();

    // "SIGTERM" and so on.
    static QString name(int signal);

signals:
    // On the thread that made the object, once per process.
    void quitRequested(int signal);

private:
    void readPending();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
    bool m_delivered = false;
};

}  // namespace harkwell
