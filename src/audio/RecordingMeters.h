#pragma once
// The running recording's last level reading, for the views that draw the meters. Every
// assignment is announced, also an equal one: the meters redraw on each reading.

#include "foundation/RecordingTypes.h"

#include <QObject>

namespace harkwell {

class RecordingMeters final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    RecordingLevels levels() const { return m_levels; }
    void setLevels(const RecordingLevels& levels)
    {
        m_levels = levels;
        emit levelsChanged(m_levels);
    }

signals:
    void levelsChanged(const harkwell::RecordingLevels& levels);

private:
    RecordingLevels m_levels;
};

}  // namespace harkwell
