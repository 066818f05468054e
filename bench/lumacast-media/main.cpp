#include "Commands.h"

#include "store/SessionStore.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <new>

namespace lumacast_media {

std::map<QString, Command> &commands()
{
    static std::map<QString, Command> registry;
    return registry;
}

QByteArray readManifest(const QString &folder)
{
    const QString path = folder + QStringLiteral("/manifest.json");
    try {
        return lumacast::SessionStore::readManifestFile(path);
    } catch (const lumacast::SessionStore::ManifestError &error) {
        throw lumacast::Error(QStringLiteral("Cannot read %1: %2").arg(path, error.underlying()));
    }
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
    try {
        return command.run(args);
    } catch (const std::bad_alloc &) {
        // A command holds nothing the operating system does not take back at exit.
        err(QStringLiteral("lumacast-media: out of memory"));
        return 1;
    }
}
