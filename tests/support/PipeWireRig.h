#pragma once
// A PipeWire audio system of the test program's own: pipewire, wireplumber and pipewire-pulse in
// a private runtime folder on a private session bus, with a null sink as the default output and a
// virtual microphone as the default input. Players are pw-play (a native client) and paplay (a
// pulse client) playing generated tones. This process is pointed at the rig, so a hardware layer
// made while it stands talks to it. Every process the rig starts is stopped by its id.

#include "support/PrivateSessionBus.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

namespace harkwell::test {

class PipeWireRig {
public:
    static constexpr char kSinkName[] = "harkwell-test-sink";
    static constexpr char kOtherSinkName[] = "harkwell-test-sink-2";
    static constexpr char kMicrophoneName[] = "harkwell-test-mic";
    static constexpr int kRate = 48000;

    PipeWireRig();
    ~PipeWireRig();
    PipeWireRig(const PipeWireRig&) = delete;
    PipeWireRig& operator=(const PipeWireRig&) = delete;

    // Empty when the rig stands; else what failed.
    const QString& error() const { return m_error; }

    enum class Client { Native, Pulse };
    // A tone file of its own (stereo, 32-bit float) played into the sink; returns the player's
    // process id, 0 when it did not start.
    qint64 play(Client client, double frequency, float amplitude, double seconds, const QString& sink = kSinkName);
    // Feeds the virtual microphone a mono tone, linked with pw-link; false when the link failed.
    // The feeder is an application of its own unless told to be pw-play as the players are (a
    // soundboard feeding a virtual microphone from the same program that plays elsewhere).
    bool feedMicrophone(double frequency, float amplitude, double seconds, bool ownApplication = true);
    // Stops one player (by the id play() returned).
    void stopPlayer(qint64 pid);

    bool addSink(const QString& name, const QString& description);
    // The virtual microphone again, after removeNode() took it away.
    bool addMicrophone();
    bool removeNode(const QString& name);
    // Makes the named sink the default output and waits until the session manager says so.
    bool setDefaultSink(const QString& name);
    // Stops pipewire (its session manager and pulse server go with it) and starts them again
    // with the same sink and microphone.
    bool restartServer();

    // Runs one of PipeWire's tools against the rig; its output when asked.
    bool run(const QString& program, const QStringList& arguments, QString* output = nullptr);

private:
    bool startServer();
    void stopServer();
    QProcess* spawn(const QString& program, const QStringList& arguments);
    bool waitFor(const std::function<bool()>& ready, int timeoutMs);
    QString defaultOf(const char* key);
    QString toneFile(double frequency, float amplitude, double seconds, int channels);
    void stop(QProcess* process);

    QTemporaryDir m_dir;
    PrivateSessionBus m_bus;
    QProcessEnvironment m_env;
    QString m_error;
    QProcess* m_pipewire = nullptr;
    QProcess* m_wireplumber = nullptr;
    QProcess* m_pulse = nullptr;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QByteArray m_oldRuntime;
    int m_files = 0;
};

}  // namespace harkwell::test
