#pragma once
// Pairs this computer with a Mirelon account by the device-code flow: asks for a user code, opens
// the verification page in the browser, polls until the user approves or refuses or the code
// expires, then stores the device token and resumes the captures that waited for it. The settings
// window owns one and shows its state.

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace harkwell {

class Clock;

class MirelonAuth final : public QObject {
    Q_OBJECT
public:
    struct State {
        enum class Kind { Pairing, Connected, Failed, Idle };
        Kind kind = Kind::Idle;
        // Pairing
        QString userCode;
        QUrl verificationUrl;
        QDateTime expiresAt;
        // Connected
        QString tokenPrefix;
        QStringList scopes;
        // Failed
        QString message;

        static State pairing(QString userCode, QUrl verificationUrl, QDateTime expiresAt);
        static State connected(QString tokenPrefix, QStringList scopes);
        static State failed(QString message);
        static State idle();
        bool operator==(const State&) const = default;
    };

    using ResumeHook = std::function<void()>;

    // `resume` runs after a pairing stored its token (the pipeline resumes unfinished captures).
    // The verification page opens through Opening, in the user's browser.
    MirelonAuth(Clock& clock, QNetworkAccessManager& session, ResumeHook resume = {}, QObject* parent = nullptr);
    // Stops a pairing under way: nothing of it outlives the object.
    ~MirelonAuth() override;

    const State& state() const { return m_state; }
    // A pairing task has been started and not cleared (it may have ended already).
    bool hasPollTask() const { return m_run != nullptr; }

    // Cancels a pairing under way, shows idle, and starts a new pairing against `baseUrl`.
    void connect(const QUrl& baseUrl);
    // Cancels a pairing under way, deletes the stored token, shows idle.
    void disconnect();
    // Connected when a token is stored, else idle, whatever stood before.
    void refreshConnectedState();
    // The settings window's cancel: stops the pairing, then shows what the store holds.
    void cancelPairing();

    static constexpr int kTokenPrefixLength = 12;

signals:
    // Every assignment of the state, also of an equal one.
    void stateChanged(const harkwell::MirelonAuth::State& state);

private:
    struct Run;
    void setState(State state);
    void cancelRun();
    static QCoro::Task<> pair(QPointer<MirelonAuth> self, std::shared_ptr<Run> run, QUrl baseUrl);

    Clock& m_clock;
    QNetworkAccessManager& m_session;
    ResumeHook m_resume;
    State m_state;
    std::shared_ptr<Run> m_run;
};

}  // namespace harkwell
