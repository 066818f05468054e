#include "Commands.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

namespace lumacast_media {

std::map<QString, Command> &commands()
{
    static std::map<QString, Command> registry;
    return registry;
}

void out(const QString &line)
{
    QTextStream(stdout) << line << '\n';
}

void err(const QString &line)
{
    QTextStream(stderr) << line << '\n';
}

} // namespace lumacast_media

int main(int argc, char **argv)
{
    using namespace lumacast_media;
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || !commands().count(args.first())) {
        err(QStringLiteral("usage: lumacast-media COMMAND [ARGS...]"));
        for (const auto &[name, command] : commands())
            err(QStringLiteral("  ") + command.usage);
        return 2;
    }
    const Command &command = commands().at(args.takeFirst());
    return command.run(args);
}
