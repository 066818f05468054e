#include "Commands.h"

#include "media/WorkingItem.h"
#include "store/SessionStore.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <algorithm>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

namespace lumacast_media {

std::map<QString, Command> &commands()
{
    static std::map<QString, Command> registry;
    return registry;
}

namespace {

int g_signalPipe[2] = {-1, -1};

// Async-signal-safe: hands the signal to the event loop and lets the next one end the program.
extern "C" void forwardSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    std::signal(signal, SIG_DFL);
}

std::unique_ptr<QSocketNotifier> g_notifier;

} // namespace

InterruptWatch::InterruptWatch(std::function<void(int signal)> handler)
{
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(g_notifier.get(), &QSocketNotifier::activated, [handler] {
        char byte = 0;
        if (::read(g_signalPipe[0], &byte, 1) == 1)
            handler(int(byte));
    });
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

InterruptWatch::~InterruptWatch()
{
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    g_notifier.reset();
}

void exitRemovingWorkingFiles(int signal)
{
    lumacast::WorkingItem::removeAllNow();
    err(QStringLiteral("interrupted by signal %1: working files removed, nothing replaced").arg(signal));
    ::_exit(128 + signal);
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

// How many file names a command takes before its options: the usage's words up to the first "[" or "-".
static qsizetype leadingOperands(const QString &usage)
{
    const QStringList words = usage.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    qsizetype count = 0;
    for (qsizetype i = 1; i < words.size(); ++i) {
        if (words[i].startsWith(QLatin1Char('[')) || words[i].startsWith(QLatin1Char('-')))
            break;
        ++count;
    }
    return count;
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
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        out(QStringLiteral("usage: lumacast-media ") + command.usage);
        return 0;
    }
    // An option where a file name belongs ("write-take --help" once wrote a movie named
    // "--help") is a mistake, never a name.
    const qsizetype names = std::min(leadingOperands(command.usage), args.size());
    for (qsizetype i = 0; i < names; ++i) {
        if (args[i].startsWith(QLatin1String("--"))) {
            err(QStringLiteral("usage: lumacast-media ") + command.usage);
            return 2;
        }
    }
    try {
        return command.run(args);
    } catch (const std::bad_alloc &) {
        // A command holds nothing the operating system does not take back at exit.
        err(QStringLiteral("lumacast-media: out of memory"));
        return 1;
    }
}
