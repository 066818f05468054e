// The installed desktop files as the desktop's own tools read them: validity, what a recording
// is typed as, which application opens folders, and a launch with a document.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

struct ToolRun {
    int exitCode = -1;
    QString out;
};

class InstalledTree {
public:
    InstalledTree()
    {
        m_env = QProcessEnvironment::systemEnvironment();
        // Only what this installation and the system bring: never the user's own settings.
        m_env.insert("XDG_DATA_HOME", prefix() + "/share");
        m_env.insert("XDG_DATA_DIRS", prefix() + "/share:/usr/share");
        m_env.insert("XDG_CONFIG_HOME", m_dir.path() + "/config");
        m_env.insert("XDG_CONFIG_DIRS", m_dir.path() + "/config");
        m_env.insert("XDG_CURRENT_DESKTOP", "X-Generic");
        m_env.insert("PATH", m_dir.path() + "/stub:" + m_env.value("PATH"));
        QDir().mkpath(m_dir.path() + "/config");
        installed = run("cmake", {"--install", LUMACAST_BUILD_DIR, "--prefix", prefix()}).exitCode == 0;
    }
    QString prefix() const { return m_dir.path() + "/prefix"; }
    QString path(const QString &relative) const { return m_dir.path() + '/' + relative; }
    ToolRun run(const QString &program, const QStringList &args) const
    {
        QProcess process;
        process.setProcessEnvironment(m_env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, args);
        ToolRun result;
        if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
            result.exitCode = process.exitCode();
        result.out = QString::fromUtf8(process.readAll()).trimmed();
        return result;
    }
    bool installed = false;

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
};

bool haveTools()
{
    for (const char *tool : {"xdg-mime", "gio", "desktop-file-validate"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return false;
    return true;
}

} // namespace

TEST(DesktopFiles, ClaimOnlyWhatFileManagersGiveAndNeverTakeOverFolders)
{
    if (!haveTools())
        GTEST_SKIP() << "xdg-utils, libglib2.0-bin or desktop-file-utils missing (scripts/dev.sh setup)";
    InstalledTree tree;
    ASSERT_TRUE(tree.installed);
    const QString desktopFile = tree.prefix() + "/share/applications/lumacast.desktop";
    ASSERT_TRUE(QFile::exists(desktopFile));

    const ToolRun valid = tree.run("desktop-file-validate", {desktopFile});
    EXPECT_EQ(valid.exitCode, 0) << valid.out.toStdString();
    EXPECT_EQ(valid.out, QString());

    // A saved recording is a folder; the desktop's tools type it as one.
    const QString recording = tree.path("Talk.lumacast");
    ASSERT_TRUE(QDir().mkpath(recording + "/takes"));
    QFile manifest(recording + "/manifest.json");
    ASSERT_TRUE(manifest.open(QIODevice::WriteOnly));
    manifest.write("{}");
    manifest.close();
    const ToolRun filetype = tree.run("xdg-mime", {"query", "filetype", recording});
    EXPECT_EQ(filetype.out, "inode/directory");
    const ToolRun info = tree.run("gio", {"info", "-a", "standard::content-type", recording});
    ASSERT_TRUE(info.out.contains("standard::content-type: ")) << info.out.toStdString();
    const QString contentType = info.out.section("standard::content-type: ", 1).trimmed();

    // Every type the launcher claims is one a recording can have; folders are not claimed, so
    // Lumacast never becomes what opens every folder.
    QSettings entry(desktopFile, QSettings::IniFormat);
    const QStringList claimed =
        entry.value("Desktop Entry/MimeType").toString().split(';', Qt::SkipEmptyParts);
    for (const QString &type : claimed)
        EXPECT_EQ(type, contentType) << "claims " << type.toStdString() << ", which no recording is";
    EXPECT_FALSE(claimed.contains("inode/directory"));
    EXPECT_NE(tree.run("xdg-mime", {"query", "default", "inode/directory"}).out, "lumacast.desktop");
    EXPECT_FALSE(tree.run("gio", {"mime", "inode/directory"}).out.contains("lumacast.desktop"));
    EXPECT_FALSE(QFile::exists(tree.prefix() + "/share/mime/packages/lumacast-mime.xml"));

    // A launcher hands the recording's path to the program.
    ASSERT_TRUE(QDir().mkpath(tree.path("stub")));
    QFile stub(tree.path("stub/lumacast"));
    ASSERT_TRUE(stub.open(QIODevice::WriteOnly));
    stub.write(QString("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + tree.path("arguments") + "'\n").toUtf8());
    stub.close();
    stub.setPermissions(stub.permissions() | QFileDevice::ExeOwner);
    const ToolRun launched = tree.run("gio", {"launch", desktopFile, recording});
    EXPECT_EQ(launched.exitCode, 0) << launched.out.toStdString();
    QFile arguments(tree.path("arguments"));
    for (int i = 0; i < 100 && !arguments.exists(); ++i)
        QThread::msleep(50);
    ASSERT_TRUE(arguments.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(arguments.readAll()).trimmed(), recording);
}
