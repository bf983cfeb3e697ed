#pragma once
// The system log: syslog(3), which journald collects. One line per call, no levels.

#include <QString>

namespace harkwell {

class SystemLog {
public:
    static void write(const QString& line);
};

}  // namespace harkwell
