#include "platform/workspace/Workspace.h"

#include <QDesktopServices>

namespace harkwell {

bool DesktopWorkspace::openWithoutWaiting(const QUrl& url) { return QDesktopServices::openUrl(url); }

}  // namespace harkwell
