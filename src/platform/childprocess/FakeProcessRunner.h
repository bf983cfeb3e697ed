#pragma once
// A ProcessRunner that records every call and answers through a handler the test gives: a canned
// result, or a real run of another command (a script that sleeps past its limit).

#include "platform/childprocess/ProcessRunner.h"

#include <QFile>
#include <QList>
#include <QMutex>

#include <functional>

namespace harkwell {

class FakeProcessRunner final : public ProcessRunner {
public:
    // The arguments as text in the file-name encoding.
    using Handler = std::function<std::expected<ProcessRun, ProcessError>(const QStringList& arguments,
                                                                          std::chrono::milliseconds limit)>;

    explicit FakeProcessRunner(Handler handler) : m_handler(std::move(handler)) {}

    using ProcessRunner::run;
    std::expected<ProcessRun, ProcessError> run(const QList<QByteArray>& encoded, std::chrono::milliseconds limit,
                                                const ProcessOptions&) override
    {
        QStringList arguments;
        for (const QByteArray& argument : encoded)
            arguments.append(QFile::decodeName(argument));
        {
            QMutexLocker locker(&m_lock);
            m_calls.append(arguments);
        }
        return m_handler(arguments, limit);
    }

    QList<QStringList> calls() const
    {
        QMutexLocker locker(&m_lock);
        return m_calls;
    }

private:
    Handler m_handler;
    mutable QMutex m_lock;  // guards m_calls: runs come from several threads at once
    QList<QStringList> m_calls;
};

}  // namespace harkwell
