#pragma once
// Keeps Voice Memos running, hidden, so that recordings synced from other devices keep arriving in
// its folder: a check 1 s after start and then every 300 s, on the thread that started it.

#include "platform/apps/ApplicationLauncher.h"
#include "platform/clock/Clock.h"

#include <qcoro/qcorotask.h>

#include <chrono>

namespace harkwell {

class VoiceMemosKeeper {
public:
    VoiceMemosKeeper(ApplicationLauncher& launcher, Clock& clock);
    ~VoiceMemosKeeper();
    VoiceMemosKeeper(const VoiceMemosKeeper&) = delete;
    VoiceMemosKeeper& operator=(const VoiceMemosKeeper&) = delete;

    static VoiceMemosKeeper& shared();

    // Both on the main thread; each does nothing (and logs nothing) when already in that state.
    void start();
    void stop();
    bool isRunning() const { return m_running; }

    static constexpr std::chrono::seconds kCheckInterval{300};
    static constexpr std::chrono::seconds kFirstCheck{1};
    static constexpr char kBundleIdentifier[] = "com.apple.VoiceMemos";

private:
    QCoro::Task<> runChecks(quint64 generation);
    void ensureRunning();

    ApplicationLauncher& m_launcher;
    Clock& m_clock;
    bool m_running = false;
    // Sleeping check loops of an older generation end when they wake; shared so that a loop can
    // tell after the keeper itself is gone.
    std::shared_ptr<quint64> m_generation = std::make_shared<quint64>(0);
};

}  // namespace harkwell
