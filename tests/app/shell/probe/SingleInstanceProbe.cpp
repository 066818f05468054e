// A launch of its own for the single-instance tests: "<milliseconds> <paths...>" hands the paths
// over and prints "handed", or serves for that long, printing "serving" and then one line
// "launch <paths joined by commas>" for each later launch.
#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const int serving = arguments.isEmpty() ? 0 : arguments.takeFirst().toInt();
    QTextStream out(stdout);
    lumacast::SingleInstance instance(lumacast::SingleInstance::serverName());
    if (instance.handOffToRunningInstance(arguments)) {
        out << "handed\n";
        return 0;
    }
    out << "serving\n" << Qt::flush;
    QObject::connect(&instance, &lumacast::SingleInstance::launched, &app, [&out](const QStringList &paths) {
        out << "launch " << paths.join(QLatin1Char(',')) << '\n' << Qt::flush;
    });
    QTimer::singleShot(serving, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
