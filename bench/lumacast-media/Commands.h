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

// Prints to standard output / standard error with a trailing newline.
void out(const QString &line);
void err(const QString &line);

} // namespace lumacast_media
