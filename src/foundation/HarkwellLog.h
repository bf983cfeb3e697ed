#pragma once
// Harkwell's own log file, $XDG_STATE_HOME/harkwell/harkwell.log, which the user can open and send
// along. Writing never blocks the caller and never fails loudly.

#include <QString>

namespace harkwell {

class HarkwellLog {
public:
    // Stamps the line now and appends it on the "harkwell.log" queue.
    static void write(const QString& line);
    // The usual diagnostic: the system log and the log file, the same line.
    static void log(const QString& line);

    // The text as one line: line breaks and other control characters written as escapes, so that
    // what a file name or a service's answer holds can never start a record of its own.
    static QString oneLine(const QString& text);

    static QString fileUrl();
    // Returns once every line written before the call is in the file.
    static void waitUntilWritten();

    static constexpr qint64 kRotationSize = 5'000'001;
};

}  // namespace harkwell
