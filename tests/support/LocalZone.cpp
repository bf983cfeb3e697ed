#include "support/LocalZone.h"

#include <QtGlobal>

#include <ctime>

namespace harkwell::test {

LocalZone::LocalZone(const QByteArray& zone)
    : m_hadZone(qEnvironmentVariableIsSet("TZ"))
    , m_oldZone(qgetenv("TZ"))
{
    qputenv("TZ", zone);
    tzset();
}

LocalZone::~LocalZone()
{
    if (m_hadZone)
        qputenv("TZ", m_oldZone);
    else
        qunsetenv("TZ");
    tzset();
}

}  // namespace harkwell::test
