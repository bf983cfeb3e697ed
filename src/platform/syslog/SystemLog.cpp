#include "platform/syslog/SystemLog.h"

#include "platform/identity/Identity.h"

#include <mutex>
#include <syslog.h>

namespace harkwell {

void SystemLog::write(const QString& line)
{
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog(identity::kProductPrefix, LOG_PID, LOG_USER); });
    ::syslog(LOG_NOTICE, "%s", line.toUtf8().constData());
}

}  // namespace harkwell
