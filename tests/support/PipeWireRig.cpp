#include "support/PipeWireRig.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtEndian>

#include <cmath>
#include <csignal>

namespace harkwell::test {

namespace {

constexpr int kStartTimeoutMs = 10000;

QString nullNode(const QString& name, const QString& description, const char* mediaClass, const char* positions,
                 bool driver = true)
{
    return QStringLiteral("{ factory.name=support.null-audio-sink node.name=%1 node.description=\"%2\" media.class=%3 "
                          "object.linger=true audio.rate=48000 audio.position=[%4] %5 }")
        .arg(name, description, QString::fromLatin1(mediaClass), QString::fromLatin1(positions),
             QString::fromLatin1(driver ? "" : "node.driver=false"));
}

}  // namespace

PipeWireRig::PipeWireRig()
{
    if (!m_dir.isValid() || m_bus.address().isEmpty()) {
        m_error = QStringLiteral("no private folder or session bus for the audio rig");
        return;
    }
    const QString root = m_dir.path();
    for (const char* sub : {"home", "config", "state", "data"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root);
    m_env.insert(QStringLiteral("PIPEWIRE_RUNTIME_DIR"), root);
    m_env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    m_env.insert(QStringLiteral("XDG_STATE_HOME"), root + QStringLiteral("/state"));
    m_env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    m_env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address());
    // No system bus: the session manager must not reach the machine's logind or Bluetooth.
    m_env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=") + root + QStringLiteral("/no-system-bus"));
    m_env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), root + QStringLiteral("/pulse"));
    m_env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + root + QStringLiteral("/pulse/native"));
    m_env.remove(QStringLiteral("PIPEWIRE_REMOTE"));
    // This process finds the rig before any runtime folder a test's home sets.
    m_oldRuntime = qgetenv("PIPEWIRE_RUNTIME_DIR");
    qputenv("PIPEWIRE_RUNTIME_DIR", QFile::encodeName(root));
    if (!startServer())
        return;
    if (!run(QStringLiteral("pw-cli"), {QStringLiteral("create-node"), QStringLiteral("adapter"),
                                        nullNode(kSinkName, QStringLiteral("Test Sink"), "Audio/Sink", "FL FR", false)})
        || !run(QStringLiteral("pw-cli"),
                {QStringLiteral("create-node"), QStringLiteral("adapter"),
                 nullNode(kMicrophoneName, QStringLiteral("Test Microphone"), "Audio/Source/Virtual", "MONO", false)})) {
        m_error = QStringLiteral("pw-cli could not create the test sink and microphone");
        return;
    }
    if (!waitFor([&] { return defaultOf("default.audio.sink") == QLatin1String(kSinkName)
                              && defaultOf("default.audio.source") == QLatin1String(kMicrophoneName); },
                 kStartTimeoutMs))
        m_error = QStringLiteral("the session manager did not choose the test sink and microphone as defaults");
}

PipeWireRig::~PipeWireRig()
{
    for (auto& process : m_processes)
        stop(process.get());
    if (m_oldRuntime.isNull())
        qunsetenv("PIPEWIRE_RUNTIME_DIR");
    else
        qputenv("PIPEWIRE_RUNTIME_DIR", m_oldRuntime);
}

bool PipeWireRig::startServer()
{
    const QString socket = m_dir.filePath(QStringLiteral("pipewire-0"));
    QFile::remove(socket);
    QFile::remove(socket + QStringLiteral(".lock"));
    m_pipewire = spawn(QStringLiteral("pipewire"), {});
    if (!m_pipewire || !waitFor([&] { return QFileInfo(socket).exists(); }, kStartTimeoutMs)) {
        m_error = QStringLiteral("pipewire did not start (is the pipewire package installed?)");
        return false;
    }
    m_wireplumber = spawn(QStringLiteral("wireplumber"), {});
    m_pulse = spawn(QStringLiteral("pipewire-pulse"), {});
    const QString pulse = m_dir.filePath(QStringLiteral("pulse/native"));
    if (!m_wireplumber || !m_pulse || !waitFor([&] { return QFileInfo(pulse).exists(); }, kStartTimeoutMs)) {
        m_error = QStringLiteral("wireplumber or pipewire-pulse did not start");
        return false;
    }
    return true;
}

void PipeWireRig::stopServer()
{
    // The session manager and the pulse server leave when pipewire does; stopped anyway by id.
    for (QProcess* process : {m_pulse, m_wireplumber, m_pipewire})
        stop(process);
    m_pulse = m_wireplumber = m_pipewire = nullptr;
}

bool PipeWireRig::restartServer()
{
    stop(m_pipewire);
    stopServer();
    if (!startServer())
        return false;
    return run(QStringLiteral("pw-cli"), {QStringLiteral("create-node"), QStringLiteral("adapter"),
                                          nullNode(kSinkName, QStringLiteral("Test Sink"), "Audio/Sink", "FL FR", false)})
           && run(QStringLiteral("pw-cli"),
                  {QStringLiteral("create-node"), QStringLiteral("adapter"),
                   nullNode(kMicrophoneName, QStringLiteral("Test Microphone"), "Audio/Source/Virtual", "MONO", false)})
           && waitFor([&] { return defaultOf("default.audio.sink") == QLatin1String(kSinkName); }, kStartTimeoutMs);
}

QProcess* PipeWireRig::spawn(const QString& program, const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(m_env);
    process->setWorkingDirectory(m_dir.path());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start(program, arguments);
    if (!process->waitForStarted(kStartTimeoutMs))
        return nullptr;
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

bool PipeWireRig::run(const QString& program, const QStringList& arguments, QString* output)
{
    QProcess process;
    process.setProcessEnvironment(m_env);
    process.start(program, arguments);
    if (!process.waitForFinished(kStartTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool PipeWireRig::waitFor(const std::function<bool()>& ready, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!ready()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

QString PipeWireRig::defaultOf(const char* key)
{
    QString output;
    if (!run(QStringLiteral("pw-metadata"), {QStringLiteral("-n"), QStringLiteral("default"), QStringLiteral("0"),
                                             QString::fromLatin1(key)},
             &output))
        return {};
    const qsizetype at = output.indexOf(QLatin1String("{\"name\":\""));
    if (at < 0)
        return {};
    const qsizetype start = at + 9;
    return output.mid(start, output.indexOf(QLatin1Char('"'), start) - start);
}

// A WAV file of 32-bit float samples: the players read it as written, so levels are exact.
QString PipeWireRig::toneFile(double frequency, float amplitude, double seconds, int channels)
{
    const QString path = m_dir.filePath(QStringLiteral("tone-%1.wav").arg(++m_files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    const quint32 frames = quint32(seconds * kRate);
    const quint32 dataBytes = frames * quint32(channels) * 4;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.setFloatingPointPrecision(QDataStream::SinglePrecision);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(3) << quint16(channels) << quint32(kRate) << quint32(kRate * channels * 4)
        << quint16(channels * 4) << quint16(32);
    out.writeRawData("data", 4);
    out << dataBytes;
    for (quint32 i = 0; i < frames; ++i) {
        const float sample = amplitude * float(std::sin(2.0 * M_PI * frequency * double(i) / kRate));
        for (int c = 0; c < channels; ++c)
            out << sample;
    }
    return path;
}

qint64 PipeWireRig::play(Client client, double frequency, float amplitude, double seconds, const QString& sink)
{
    const QString file = toneFile(frequency, amplitude, seconds, 2);
    QProcess* player = client == Client::Native
                           ? spawn(QStringLiteral("pw-play"), {QStringLiteral("--target=") + sink, file})
                           : spawn(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, file});
    return player ? player->processId() : 0;
}

bool PipeWireRig::feedMicrophone(double frequency, float amplitude, double seconds, bool ownApplication)
{
    const QString feed = QStringLiteral("harkwell-mic-feed-%1").arg(m_files + 1);
    const QString file = toneFile(frequency, amplitude, seconds, 1);
    const QString properties =
        ownApplication ? QStringLiteral("{ node.name=%1 node.autoconnect=false application.name=%1 "
                                        "application.process.binary=%1 }")
                             .arg(feed)
                       : QStringLiteral("{ node.name=%1 node.autoconnect=false }").arg(feed);
    if (!spawn(QStringLiteral("pw-play"), {QStringLiteral("--target=0"), QStringLiteral("--properties=") + properties, file}))
        return false;
    return waitFor([&] {
        return run(QStringLiteral("pw-link"), {feed + QStringLiteral(":output_MONO"),
                                               QString::fromLatin1(kMicrophoneName) + QStringLiteral(":input_MONO")});
    }, kStartTimeoutMs);
}

void PipeWireRig::stopPlayer(qint64 pid)
{
    for (auto& process : m_processes)
        if (process->processId() == pid)
            stop(process.get());
}

bool PipeWireRig::addSink(const QString& name, const QString& description)
{
    return run(QStringLiteral("pw-cli"),
               {QStringLiteral("create-node"), QStringLiteral("adapter"), nullNode(name, description, "Audio/Sink", "FL FR", false)});
}

bool PipeWireRig::addMicrophone()
{
    return run(QStringLiteral("pw-cli"),
               {QStringLiteral("create-node"), QStringLiteral("adapter"),
                nullNode(kMicrophoneName, QStringLiteral("Test Microphone"), "Audio/Source/Virtual", "MONO", false)})
           && waitFor([&] { return defaultOf("default.audio.source") == QLatin1String(kMicrophoneName); }, kStartTimeoutMs);
}

bool PipeWireRig::removeNode(const QString& name)
{
    return run(QStringLiteral("pw-cli"), {QStringLiteral("destroy"), name});
}

bool PipeWireRig::setDefaultSink(const QString& name)
{
    if (!run(QStringLiteral("pw-metadata"), {QStringLiteral("-n"), QStringLiteral("default"), QStringLiteral("0"),
                                             QStringLiteral("default.configured.audio.sink"),
                                             QStringLiteral("{ \"name\": \"%1\" }").arg(name),
                                             QStringLiteral("Spa:String:JSON")}))
        return false;
    return waitFor([&] { return defaultOf("default.audio.sink") == name; }, kStartTimeoutMs);
}

void PipeWireRig::stop(QProcess* process)
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(3000)) {
        process->kill();
        process->waitForFinished(3000);
    }
}

}  // namespace harkwell::test
