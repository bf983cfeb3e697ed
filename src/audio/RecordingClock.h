#pragma once
// The running recording's elapsed time in seconds, for the recorder panel and the menu-bar label.

#include <QObject>

namespace harkwell {

class RecordingClock final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    double elapsed() const { return m_elapsed; }
    void setElapsed(double seconds)
    {
        m_elapsed = seconds;
        emit elapsedChanged(m_elapsed);
    }

signals:
    void elapsedChanged(double seconds);

private:
    double m_elapsed = 0;
};

}  // namespace harkwell
