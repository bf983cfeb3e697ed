#include "foundation/Counted.h"

namespace harkwell {

QString counted(qint64 count, const QString& one, const QString& many)
{
    return QString::number(count) + QLatin1Char(' ') + (count == 1 ? one : many);
}

}  // namespace harkwell
