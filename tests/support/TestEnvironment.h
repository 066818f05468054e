#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace lumacast::testing {

// Points HOME and the XDG folders at a fresh temporary folder for the life of the object, so
// that the Caches, Library and settings locations of the code under test never touch the real
// ones. The previous values come back on destruction.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome &) = delete;
    TemporaryHome &operator=(const TemporaryHome &) = delete;

    QString path() const { return m_dir.path(); }
    QString cachesPath() const;  // ~/.cache
    QString libraryPath() const; // ~/.local/share
    QString configPath() const;  // ~/.config

private:
    QTemporaryDir m_dir;
    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> m_saved;
};

struct ProcessResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool ok() const { return exitCode == 0; }
};

// Runs a program to completion (timeout in milliseconds) and returns its exit code and output.
ProcessResult runProcess(const QString &program, const QStringList &args, int timeoutMs = 120000);

// The built lumacast-media driver.
QString mediaDriverPath();

// Writes `size` bytes to a file, creating folders on the way.
bool writeFileOfSize(const QString &path, qint64 size);

} // namespace lumacast::testing
