#pragma once
// What the log file holds once every line written so far has landed.

#include "foundation/HarkwellLog.h"
#include "platform/paths/Paths.h"

#include <QFile>
#include <QString>

namespace harkwell::test {

inline QString logText()
{
    HarkwellLog::waitUntilWritten();
    QFile file(Paths::logFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace harkwell::test
