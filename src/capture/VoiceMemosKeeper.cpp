#include "capture/VoiceMemosKeeper.h"

#include "foundation/HarkwellLog.h"

namespace harkwell {

VoiceMemosKeeper::VoiceMemosKeeper(ApplicationLauncher& launcher, Clock& clock) : m_launcher(launcher), m_clock(clock) {}

VoiceMemosKeeper::~VoiceMemosKeeper() { ++*m_generation; }

VoiceMemosKeeper& VoiceMemosKeeper::shared()
{
    static VoiceMemosKeeper keeper(ApplicationLauncher::system(), Clock::system());
    return keeper;
}

void VoiceMemosKeeper::start()
{
    if (m_running)
        return;
    m_running = true;
    runChecks(++*m_generation);
    HarkwellLog::log(QStringLiteral("[harkwell] voice memos keeper: on (check every %1s)").arg(kCheckInterval.count()));
}

void VoiceMemosKeeper::stop()
{
    if (!m_running)
        return;
    m_running = false;
    ++*m_generation;
    HarkwellLog::log(QStringLiteral("[harkwell] voice memos keeper: off"));
}

QCoro::Task<> VoiceMemosKeeper::runChecks(quint64 generation)
{
    const std::shared_ptr<quint64> current = m_generation;
    Clock& clock = m_clock;
    std::chrono::milliseconds due = clock.monotonic() + kFirstCheck;
    for (;;) {
        co_await clock.sleep(std::max(std::chrono::milliseconds::zero(), due - clock.monotonic()));
        if (*current != generation)
            co_return;
        ensureRunning();
        const std::chrono::milliseconds now = clock.monotonic();
        while (due <= now)
            due += kCheckInterval;
    }
}

void VoiceMemosKeeper::ensureRunning()
{
    const QString bundle = QString::fromLatin1(kBundleIdentifier);
    if (m_launcher.isRunning(bundle))
        return;
    const std::optional<QString> location = m_launcher.locate(bundle);
    if (!location) {
        HarkwellLog::log(QStringLiteral("[harkwell] voice memos keeper: Voice Memos.app not found"));
        return;
    }
    m_launcher.openHidden(*location, [](std::optional<QString> error) {
        if (error)
            HarkwellLog::log(QStringLiteral("[harkwell] voice memos keeper: launch failed -- %1").arg(*error));
        else
            HarkwellLog::log(QStringLiteral("[harkwell] voice memos keeper: launched Voice Memos (hidden)"));
    });
}

}  // namespace harkwell
