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

// While alive, SIGTERM and SIGINT go to `handler` (with the signal's number) on the main thread
// through the event loop, instead of ending the program at once; a second one of them ends it.
// One at a time; the command must run an event loop (QCoro::waitFor does) for the handler to run.
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void(int signal)> handler);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;
};

// The exporting commands' handler: removes this process's working files (media/WorkingItem),
// says so on standard error and ends the program with status 128 + signal.
[[noreturn]] void exitRemovingWorkingFiles(int signal);

// Prints to standard output / standard error with a trailing newline.
void out(const QString &line);
void err(const QString &line);

} // namespace lumacast_media
