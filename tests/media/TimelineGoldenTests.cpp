// Whole packages: golden documents for one awkward session, and real movies through xmllint.
#include "TimelineTestSupport.h"

#include "media/FCP7XMLWriter.h"
#include "media/FCPXMLWriter.h"
#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;
using namespace lumacast::timeline_export;

namespace {

// A take kept to its end: the movie is as long as the trim end.
Take take(const QString &filename, double trimStart, double trimEnd,
          std::optional<QString> name = std::nullopt)
{
    return makeTrimmedTake(filename, trimEnd, trimStart, trimEnd, std::move(name));
}

LoadedMovie loaded(double duration, double width, double height, double fps, QList<int> channels,
                   double rate = 48000)
{
    LoadedMovie movie;
    movie.duration = duration;
    movie.videoTracks.append(LoadedVideoTrack{width, height, 1, 0, 0, 1, fps});
    for (int count : channels)
        movie.audioTracks.append(LoadedAudioTrack{LoadedAudioDescription{count, rate}});
    return movie;
}

// Compares with a golden file in tests/media/golden; LUMACAST_UPDATE_GOLDEN=1 rewrites it.
void expectGolden(const QString &actual, const QString &goldenName)
{
    const QString path = QStringLiteral(LUMACAST_SOURCE_DIR "/tests/media/golden/") + goldenName;
    if (qEnvironmentVariableIsSet("LUMACAST_UPDATE_GOLDEN")) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(actual.toUtf8());
        return;
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "missing golden file " << path.toStdString();
    const QString expected = QString::fromUtf8(file.readAll());
    const QStringList want = expected.split(QLatin1Char('\n'));
    const QStringList got = actual.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < std::min(want.size(), got.size()); ++i) {
        ASSERT_EQ(got[i].toStdString(), want[i].toStdString())
            << goldenName.toStdString() << " differs at line " << i + 1;
    }
    EXPECT_EQ(got.size(), want.size()) << goldenName.toStdString() << " line count";
    EXPECT_EQ(actual, expected); // trailing line feeds included
}

// A session with a skipped scene, a 29.97 fps first take, a take with two audio tracks, one
// without audio that is trimmed beyond its end, and names full of characters XML reserves.
class GoldenPackage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        session = Session(m_dir.filePath(QStringLiteral("session")));
        session.scenes = {
            makeCheckedScene({take(QStringLiteral("A1B2.mov"), 0.5, 8, QStringLiteral("Take \"best\""))}, 0,
                  QStringLiteral("Intro & <Welcome>")),
            makeCheckedScene({take(QStringLiteral("skipped.mov"), 0, 4)}, std::nullopt),
            makeCheckedScene({take(QStringLiteral("first.mov"), 0, 4),
                   take(QStringLiteral("Q&A demo.mov"), 1.25, 6.75, QStringLiteral("Bob's demo"))},
                  1),
            makeCheckedScene({take(QStringLiteral("silent.mov"), 0, 5)}, 0, QStringLiteral("Outro")),
        };
        for (const QString &name : {QStringLiteral("A1B2.mov"), QStringLiteral("Q&A demo.mov"),
                                    QStringLiteral("silent.mov")})
            ASSERT_TRUE(writeFileOfSize(m_dir.filePath(QStringLiteral("session/takes/") + name), 2048));
        loader = tableLoader({
            {QStringLiteral("A1B2.mov"), loaded(10.01, 1920, 1080, 29.97, {2})},
            {QStringLiteral("Q&A demo.mov"), loaded(7, 1280, 720, 60, {2, 2})},
            {QStringLiteral("silent.mov"), loaded(3, 1920, 1080, 30, {})},
        });
    }

    // The document with the temporary folder's URL replaced by a fixed one.
    QString normalised(const QString &document, const QString &folder) const
    {
        QString text = document;
        return text.replace(escapeXML(fileURLText(folder)), QStringLiteral("file:///exports"));
    }

    QString folder(const QString &name) const { return m_dir.filePath(name); }

    Session session;
    MovieLoader loader;

private:
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(GoldenPackage, FCPXMLDocument)
{
    const QString package = folder(QStringLiteral("fcpxml/Q&A Talk"));
    runTask(writeFCPXMLPackage(session, QStringLiteral("Q&A Talk"), package, loader));
    const QString documentPath = package + QStringLiteral("/Q&A Talk.fcpxml");
    EXPECT_TRUE(validatesAgainstFCPXMLDTD(documentPath));
    expectGolden(normalised(readText(documentPath), folder(QStringLiteral("fcpxml"))),
                 QStringLiteral("session.fcpxml"));
    EXPECT_EQ(QDir(package + QStringLiteral("/media")).entryList(QDir::Files, QDir::Name),
              (QStringList{QStringLiteral("A1B2.mov"), QStringLiteral("Q&A demo.mov"),
                           QStringLiteral("silent.mov")}));
}

TEST_F(GoldenPackage, FCP7Document)
{
    const QString package = folder(QStringLiteral("fcp7/Q&A Talk"));
    runTask(writeFCP7Package(session, QStringLiteral("Q&A Talk"), package, loader));
    const QString documentPath = package + QStringLiteral("/Q&A Talk.xml");
    EXPECT_TRUE(isWellFormedXML(documentPath));
    expectGolden(normalised(readText(documentPath), folder(QStringLiteral("fcp7"))),
                 QStringLiteral("session.xml"));
}

TEST_F(GoldenPackage, ExportingAgainReplacesTheEarlierPackage)
{
    const QString package = folder(QStringLiteral("again/Talk"));
    runTask(writeFCPXMLPackage(session, QStringLiteral("Talk"), package, loader));
    session.scenes.removeLast();
    runTask(writeFCP7Package(session, QStringLiteral("Talk"), package, loader));
    EXPECT_FALSE(QFileInfo::exists(package + QStringLiteral("/Talk.fcpxml")));
    EXPECT_FALSE(QFileInfo::exists(package + QStringLiteral("/media/silent.mov")));
    EXPECT_TRUE(isWellFormedXML(package + QStringLiteral("/Talk.xml")));
}

TEST_F(GoldenPackage, FailedDocumentWriteLeavesTheEarlierPackageWhole)
{
    const QString package = folder(QStringLiteral("blocked/Talk"));
    runTask(writeFCP7Package(session, QStringLiteral("Talk"), package, loader));
    try {
        // The document's folder does not exist, so the write fails after the copies.
        runTask(writeFCPXMLPackage(session, QStringLiteral("missing/Talk"), package, loader));
        FAIL() << "the document write succeeded";
    } catch (const FileSystemError &error) {
        EXPECT_TRUE(error.message().contains(QStringLiteral("missing/Talk.fcpxml")))
            << error.message().toStdString();
    }
    // The package was built aside: the earlier one is whole and nothing else is left.
    EXPECT_TRUE(isWellFormedXML(package + QStringLiteral("/Talk.xml")));
    EXPECT_TRUE(QFileInfo::exists(package + QStringLiteral("/media/A1B2.mov")));
    EXPECT_EQ(QDir(QFileInfo(package).absolutePath())
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Talk")});
}

// Movies made by ffmpeg, measured by ffprobe: the documents an importer would see.
class RealMovies : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        const QString takes = m_dir.filePath(QStringLiteral("session/takes"));
        ASSERT_TRUE(QDir().mkpath(takes));
        ASSERT_TRUE(makeMovie(takes + QStringLiteral("/ntsc.mov"),
                              {QStringLiteral("320x240"), QStringLiteral("30000/1001"), 2, {2}, 48000}));
        ASSERT_TRUE(makeMovie(takes + QStringLiteral("/two tracks.mov"),
                              {QStringLiteral("640x360"), QStringLiteral("60"), 2, {2, 1}, 44100}));
        ASSERT_TRUE(makeMovie(takes + QStringLiteral("/mute.mov"),
                              {QStringLiteral("320x240"), QStringLiteral("25"), 1, {}, 48000}));
        session = Session(m_dir.filePath(QStringLiteral("session")));
        session.scenes = {
            makeCheckedScene({take(QStringLiteral("ntsc.mov"), 0.2, 1.8)}, 0, QStringLiteral("It's \"live\"")),
            makeCheckedScene({take(QStringLiteral("two tracks.mov"), 0, 2)}, 0),
            makeCheckedScene({take(QStringLiteral("mute.mov"), 0, 9)}, 0),
        };
    }

    QString folder(const QString &name) const { return m_dir.filePath(name); }

    Session session;

private:
    QTemporaryDir m_dir;
};

TEST_F(RealMovies, PackagesValidateAndDescribeTheMovies)
{
    const QString fcpxml = folder(QStringLiteral("out/R&D Talk"));
    runTask(writeFCPXMLPackage(session, QStringLiteral("R&D Talk"), fcpxml, loadWithFFprobe));
    const QString fcpxmlPath = fcpxml + QStringLiteral("/R&D Talk.fcpxml");
    EXPECT_TRUE(validatesAgainstFCPXMLDTD(fcpxmlPath));
    const QString document = readText(fcpxmlPath);
    EXPECT_TRUE(document.contains(QStringLiteral("frameDuration=\"1001/30000s\" width=\"320\" height=\"240\"")));
    EXPECT_TRUE(document.contains(QStringLiteral("hasAudio=\"1\" audioSources=\"2\" audioChannels=\"3\" audioRate=\"44100\"")));
    EXPECT_TRUE(document.contains(QStringLiteral("<audio-channel-source srcCh=\"1, 2\" role=\"dialogue\"/>")));
    EXPECT_TRUE(document.contains(QStringLiteral("<audio-channel-source srcCh=\"3\" role=\"effects\"/>")));
    EXPECT_TRUE(document.contains(QStringLiteral("/R&amp;D%20Talk/media/two%20tracks.mov\"/>")));
    // The mute movie is 1 s long although the take asks for 9.
    EXPECT_TRUE(document.contains(QStringLiteral("duration=\"30030/30000s\" format=\"f1\" tcFormat=\"NDF\"/>")));

    const QString fcp7 = folder(QStringLiteral("out/Premiere"));
    runTask(writeFCP7Package(session, QStringLiteral("Premiere"), fcp7, loadWithFFprobe));
    EXPECT_TRUE(isWellFormedXML(fcp7 + QStringLiteral("/Premiere.xml")));
    const QString xmeml = readText(fcp7 + QStringLiteral("/Premiere.xml"));
    EXPECT_TRUE(xmeml.contains(QStringLiteral("<timebase>30</timebase><ntsc>TRUE</ntsc>")));
    EXPECT_TRUE(xmeml.contains(QStringLiteral("<name>It&apos;s &quot;live&quot; \u2014 Take 1</name>")));
    EXPECT_EQ(QDir(fcp7 + QStringLiteral("/media")).entryList(QDir::Files).size(), 3);
}
