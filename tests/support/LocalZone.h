#pragma once
// Sets the process's local time zone (TZ) for the fixture's lifetime and puts the old one back, so
// a test can name the local times it expects whatever zone the suite runs in.

#include <QByteArray>

namespace harkwell::test {

class LocalZone {
public:
    explicit LocalZone(const QByteArray& zone);
    ~LocalZone();
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

private:
    bool m_hadZone;
    QByteArray m_oldZone;
};

}  // namespace harkwell::test
