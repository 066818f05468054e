#include "support/OwnDisplay.h"

#include "support/AppDriver.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <chrono>
#include <csignal>

using namespace std::chrono_literals;

OwnDisplay::OwnDisplay()
{
    for (int attempt = 0; attempt < 10 && m_name.isEmpty(); ++attempt) {
        const int number = 150 + QRandomGenerator::global()->bounded(100);
        if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            continue;
        m_server.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(number), QStringLiteral("-screen"),
                                                 QStringLiteral("0"), QStringLiteral("1280x800x24"),
                                                 QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                                 QStringLiteral("-noreset")});
        if (!m_server.waitForStarted())
            return;
        const bool up = AppDriver::waitUntil(
            [&] {
                return m_server.state() == QProcess::Running
                    && QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number));
            },
            5s);
        m_number = number;
        if (up && !m_server.waitForFinished(500))
            m_name = QStringLiteral(":%1").arg(number);
        else
            kill();
    }
}

OwnDisplay::~OwnDisplay()
{
    kill();
}

void OwnDisplay::kill()
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_server.processId()), SIGKILL);
    m_server.waitForFinished(5000);
    // A killed server leaves its lock and socket behind for every later run to step around.
    QFile::remove(QStringLiteral("/tmp/.X%1-lock").arg(m_number));
    QFile::remove(QStringLiteral("/tmp/.X11-unix/X%1").arg(m_number));
}

DisplayInUse::DisplayInUse(const QString &display) : m_before(qgetenv("DISPLAY"))
{
    qputenv("DISPLAY", display.toLatin1());
}

DisplayInUse::~DisplayInUse()
{
    qputenv("DISPLAY", m_before);
}
