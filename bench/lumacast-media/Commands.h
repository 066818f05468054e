#pragma once

#include <QStringList>

#include <functional>
#include <map>
#include <string>

// The driver's subcommands. A command file registers itself with a static `CommandRegistration`;
// the function gets the arguments after the command name and returns the exit status.
namespace lumacast_media {

using CommandFunction = std::function<int(const QStringList &args)>;

struct Command {
    QString usage;
    CommandFunction run;
};

std::map<QString, Command> &commands();

struct CommandRegistration {
    CommandRegistration(const QString &name, const QString &usage, CommandFunction run)
    {
        commands()[name] = Command{usage, std::move(run)};
    }
};

// The bytes of FOLDER/manifest.json through the store's one manifest reader (a regular file
// below its size limit). Throws lumacast::Error naming the file and why it cannot be read.
QByteArray readManifest(const QString &folder);

// Prints to standard output / standard error with a trailing newline.
void out(const QString &line);
void err(const QString &line);

} // namespace lumacast_media
