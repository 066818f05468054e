#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <optional>

namespace lumacast::testing {

namespace {
const char *const kVariables[] = {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"};
}

TemporaryHome::TemporaryHome()
{
    for (const char *name : kVariables) {
        std::optional<QByteArray> old;
        if (qEnvironmentVariableIsSet(name))
            old = qgetenv(name);
        m_saved.emplace_back(name, old);
    }
    qputenv("HOME", m_dir.path().toUtf8());
    qputenv("XDG_CACHE_HOME", cachesPath().toUtf8());
    qputenv("XDG_DATA_HOME", libraryPath().toUtf8());
    qputenv("XDG_CONFIG_HOME", configPath().toUtf8());
    QDir().mkpath(cachesPath());
    QDir().mkpath(libraryPath());
    QDir().mkpath(configPath());
}

TemporaryHome::~TemporaryHome()
{
    for (const auto &[name, value] : m_saved) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString TemporaryHome::cachesPath() const { return m_dir.filePath(QStringLiteral(".cache")); }
QString TemporaryHome::libraryPath() const { return m_dir.filePath(QStringLiteral(".local/share")); }
QString TemporaryHome::configPath() const { return m_dir.filePath(QStringLiteral(".config")); }

namespace {

// One run; nullopt when it outlived `timeoutMs` and was killed.
std::optional<ProcessResult> runProcessOnce(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess process;
    process.start(program, args);
    ProcessResult result;
    if (!process.waitForStarted(10000)) {
        result.err = QStringLiteral("could not start %1").arg(program).toUtf8();
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return std::nullopt;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

} // namespace

ProcessResult runProcess(const QString &program, const QStringList &args, int timeoutMs)
{
    // Under the thread sanitizer a child forked from a busy test program now and then stalls
    // before it reaches its program (seen with ffmpeg making a one-second fixture, killed after
    // two minutes): a run that times out is made once more before the test is told.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (auto result = runProcessOnce(program, args, timeoutMs))
            return *result;
    }
    ProcessResult result;
    result.err = "timed out";
    return result;
}

QString mediaDriverPath()
{
    return QStringLiteral(LUMACAST_BINARY_DIR "/bench/lumacast-media/lumacast-media");
}

bool writeFileOfSize(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray chunk(qMin<qint64>(size, 1 << 16), 'x');
    qint64 left = size;
    while (left > 0) {
        const qint64 n = qMin<qint64>(left, chunk.size());
        if (file.write(chunk.constData(), n) != n)
            return false;
        left -= n;
    }
    return true;
}

} // namespace lumacast::testing
