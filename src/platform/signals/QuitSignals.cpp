#include "platform/signals/QuitSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace harkwell {

namespace {

constexpr std::array kSignals{SIGTERM, SIGINT, SIGHUP};

// Written by the handler, which may only touch what is async-signal-safe.
volatile sig_atomic_t g_writeEnd = -1;
volatile sig_atomic_t g_delivered = 0;

void onSignal(int signal)
{
    const int savedErrno = errno;
    if (g_delivered) {
        // The orderly quit is under way and did not end: the default action now.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (g_writeEnd >= 0)
        (void)!::write(g_writeEnd, &byte, 1);
    errno = savedErrno;
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {}

QuitSignals::~QuitSignals()
{
    if (m_pipe[0] < 0)
        return;
    struct sigaction restore {};
    restore.sa_handler = SIG_DFL;
    sigemptyset(&restore.sa_mask);
    for (int signal : kSignals)
        ::sigaction(signal, &restore, nullptr);
    g_writeEnd = -1;
    delete m_notifier;
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

std::expected<void, SignalError> QuitSignals::install()
{
    if (m_pipe[0] >= 0)
        return {};
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return std::unexpected(SignalError{QStringLiteral("Could not make the signal pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))});
    g_writeEnd = m_pipe[1];
    g_delivered = 0;
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { readPending(); });

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return std::unexpected(SignalError{QStringLiteral("Could not handle %1: %2").arg(name(signal), QString::fromLocal8Bit(std::strerror(errno)))});
    }
    return {};
}

QString QuitSignals::name(int signal)
{
    switch (signal) {
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGHUP: return QStringLiteral("SIGHUP");
    default: return QStringLiteral("signal %1").arg(signal);
    }
}

void QuitSignals::readPending()
{
    unsigned char byte = 0;
    while (::read(m_pipe[0], &byte, 1) == 1) {
        if (m_delivered)
            continue;
        m_delivered = true;
        g_delivered = 1;
        emit quitRequested(int(byte));
    }
}

}  // namespace harkwell
