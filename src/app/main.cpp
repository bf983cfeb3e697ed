#include "foundation/HarkwellLog.h"
#include "platform/identity/Identity.h"

#include <QApplication>
#include <QHostInfo>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(harkwell::identity::kApplicationName));
    QApplication::setApplicationVersion(QString::fromLatin1(harkwell::identity::kVersion));
    QApplication::setQuitOnLastWindowClosed(false);
    harkwell::HarkwellLog::log(QStringLiteral("[harkwell] launch: Harkwell %1 on %2")
                                   .arg(QApplication::applicationVersion(), QHostInfo::localHostName()));
    return app.exec();
}
