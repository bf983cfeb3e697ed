#pragma once
// A count with its noun as the windows show it: "1 file", "2 files", "0 files".

#include <QString>

namespace harkwell {

QString counted(qint64 count, const QString& one, const QString& many);

}  // namespace harkwell
