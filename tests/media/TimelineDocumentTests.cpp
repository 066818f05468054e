// The two document builders on hand-made clip lists: times, formats, audio layouts, escaping.
#include "media/FCP7XMLWriter.h"
#include "media/FCPXMLWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace lumacast;
using timeline_export::Clip;

namespace {

Clip clip(QString name, double trimmedDuration, double fps = 60, QList<int> channels = {2},
          int width = 1920, int height = 1080)
{
    Clip c;
    c.name = std::move(name);
    c.filename = c.name + QStringLiteral(".mov");
    c.copiedURL = QStringLiteral("/exports/Talk/media/") + c.filename;
    c.fullDuration = trimmedDuration + 1;
    c.trimStart = 0.5;
    c.trimmedDuration = trimmedDuration;
    c.width = width;
    c.height = height;
    c.fps = fps;
    c.audioTrackChannels = std::move(channels);
    return c;
}

QStringList linesContaining(const QString &document, const QString &needle)
{
    QStringList found;
    for (const QString &line : document.split(QLatin1Char('\n')))
        if (line.contains(needle))
            found << line;
    return found;
}

} // namespace

TEST(FCPXMLTimes, FrameDurationsForNTSCWholeAndOddRates)
{
    EXPECT_EQ(fcpxmlFrameDuration(29.97), (FCPXMLFrameDuration{1001, 30000}));
    EXPECT_EQ(fcpxmlFrameDuration(23.98), (FCPXMLFrameDuration{1001, 24000}));
    EXPECT_EQ(fcpxmlFrameDuration(29.99), (FCPXMLFrameDuration{1001, 30000}));
    EXPECT_EQ(fcpxmlFrameDuration(47.97), (FCPXMLFrameDuration{1001, 48000}));
    EXPECT_EQ(fcpxmlFrameDuration(119.9), (FCPXMLFrameDuration{1001, 120000}));
    EXPECT_EQ(fcpxmlFrameDuration(60), (FCPXMLFrameDuration{100, 6000}));
    EXPECT_EQ(fcpxmlFrameDuration(30), (FCPXMLFrameDuration{200, 6000}));
    EXPECT_EQ(fcpxmlFrameDuration(25), (FCPXMLFrameDuration{240, 6000}));
    EXPECT_EQ(fcpxmlFrameDuration(24), (FCPXMLFrameDuration{250, 6000}));
    EXPECT_EQ(fcpxmlFrameDuration(7), (FCPXMLFrameDuration{1, 7}));
    EXPECT_EQ(fcpxmlFrameDuration(7000), (FCPXMLFrameDuration{1, 7000}));
    EXPECT_EQ(fcpxmlFrameDuration(0.4), (FCPXMLFrameDuration{100, 6000}));
    EXPECT_EQ(fcpxmlFrameDuration(std::nan("")), (FCPXMLFrameDuration{100, 6000}));
}

TEST(FCPXMLTimes, TimeTextsAndRefusals)
{
    EXPECT_EQ(fcpxmlTime(0, 100, 6000), QStringLiteral("0/6000s"));
    EXPECT_EQ(fcpxmlTime(2.5, 100, 6000), QStringLiteral("15000/6000s"));
    EXPECT_EQ(fcpxmlTime(1, 1001, 30000), QStringLiteral("30030/30000s"));
    EXPECT_EQ(fcpxmlTime(10, 1001, 30000), QStringLiteral("300300/30000s"));
    // Half a frame rounds away from zero.
    EXPECT_EQ(fcpxmlTime(1.0 / 120, 100, 6000), QStringLiteral("100/6000s"));
    EXPECT_FALSE(fcpxmlTime(std::numeric_limits<double>::infinity(), 100, 6000));
    EXPECT_FALSE(fcpxmlTime(std::nan(""), 100, 6000));
    EXPECT_FALSE(fcpxmlTime(1e17, 100, 6000)); // frames fit, frames × num does not
}

TEST(FCPXMLTimes, AudioRateNames)
{
    EXPECT_EQ(fcpxmlAudioRateName(44100), QStringLiteral("44.1k"));
    EXPECT_EQ(fcpxmlAudioRateName(48000), QStringLiteral("48k"));
    EXPECT_EQ(fcpxmlAudioRateName(192000), QStringLiteral("192k"));
    EXPECT_EQ(fcpxmlAudioRateName(22050), QStringLiteral("48k"));
}

TEST(FCPXMLDocument, FormatsAreSharedBySizeAndTakeTheFirstClipsRate)
{
    const QString doc = buildFCPXML({clip(QStringLiteral("a"), 2, 30), clip(QStringLiteral("b"), 2, 25),
                                     clip(QStringLiteral("c"), 2, 60, {2}, 1280, 720)},
                                    QStringLiteral("Talk"));
    const QStringList formats = linesContaining(doc, QStringLiteral("<format "));
    ASSERT_EQ(formats.size(), 2);
    EXPECT_EQ(formats[0], QStringLiteral("        <format id=\"f1\" name=\"Lumacast 1920x1080\" "
                                         "frameDuration=\"200/6000s\" width=\"1920\" height=\"1080\" "
                                         "colorSpace=\"1-1-1 (Rec. 709)\"/>"));
    EXPECT_TRUE(formats[1].contains(QStringLiteral("id=\"f2\" name=\"Lumacast 1280x720\" frameDuration=\"200/6000s\"")));
    const QStringList clips = linesContaining(doc, QStringLiteral("<asset-clip "));
    ASSERT_EQ(clips.size(), 3);
    EXPECT_TRUE(clips[1].contains(QStringLiteral("format=\"f1\"")));
    EXPECT_TRUE(clips[2].contains(QStringLiteral("format=\"f2\"")));
    // Offsets add up the earlier clips' trimmed lengths.
    EXPECT_TRUE(clips[2].contains(QStringLiteral("offset=\"24000/6000s\"")));
}

TEST(FCPXMLDocument, FixedStartsReadZeroSecondsWhileOffsetsCountFrames)
{
    const QString doc = buildFCPXML({clip(QStringLiteral("a"), 2)}, QStringLiteral("Talk"));
    EXPECT_TRUE(doc.contains(QStringLiteral("<asset id=\"a1\" name=\"a\" start=\"0s\" duration=\"18000/6000s\"")));
    EXPECT_TRUE(doc.contains(QStringLiteral("tcStart=\"0s\"")));
    EXPECT_TRUE(doc.contains(QStringLiteral("offset=\"0/6000s\" start=\"3000/6000s\" duration=\"12000/6000s\"")));
}

TEST(FCPXMLDocument, AudioLayoutsOfNoneOneTwoAndThreeTracks)
{
    const QString doc = buildFCPXML({clip(QStringLiteral("silent"), 1, 60, {}),
                                     clip(QStringLiteral("mic"), 1, 60, {1}),
                                     clip(QStringLiteral("mono pair"), 1, 60, {1, 1}),
                                     clip(QStringLiteral("three"), 1, 60, {2, 2, 1})},
                                    QStringLiteral("Talk"));
    const QStringList assets = linesContaining(doc, QStringLiteral("<asset "));
    ASSERT_EQ(assets.size(), 4);
    EXPECT_FALSE(assets[0].contains(QStringLiteral("audio")));
    EXPECT_TRUE(assets[0].endsWith(QStringLiteral("format=\"f1\">")));
    EXPECT_TRUE(assets[3].endsWith(QStringLiteral(
        "hasAudio=\"1\" audioSources=\"3\" audioChannels=\"5\" audioRate=\"48000\">")));
    const QStringList clipLines = linesContaining(doc, QStringLiteral("<asset-clip "));
    EXPECT_TRUE(clipLines[0].endsWith(QStringLiteral("/>")));
    EXPECT_TRUE(clipLines[1].endsWith(QStringLiteral("/>")));
    EXPECT_TRUE(clipLines[2].endsWith(QStringLiteral("\">")));
    const QStringList sources = linesContaining(doc, QStringLiteral("<audio-channel-source "));
    ASSERT_EQ(sources.size(), 4);
    EXPECT_EQ(sources[0], QStringLiteral("                    <audio-channel-source srcCh=\"1\" role=\"dialogue\"/>"));
    EXPECT_EQ(sources[1], QStringLiteral("                    <audio-channel-source srcCh=\"2\" role=\"effects\"/>"));
    EXPECT_TRUE(sources[2].contains(QStringLiteral("srcCh=\"1, 2\"")));
    EXPECT_TRUE(sources[3].contains(QStringLiteral("srcCh=\"3, 5\"")));
}

TEST(FCPXMLDocument, SequenceAudioRateFollowsTheFirstClip)
{
    Clip first = clip(QStringLiteral("a"), 1);
    first.audioRate = 44100;
    Clip second = clip(QStringLiteral("b"), 1);
    EXPECT_TRUE(buildFCPXML({first, second}, QStringLiteral("T")).contains(QStringLiteral("audioRate=\"44.1k\">")));
    second.audioRate = 22050;
    EXPECT_TRUE(buildFCPXML({second, first}, QStringLiteral("T")).contains(QStringLiteral("audioRate=\"48k\">")));
}

TEST(FCPXMLDocument, NamesAndTheMediaLocationAreEscapedOnce)
{
    Clip c = clip(QStringLiteral("Q&A <intro> \"live\" it's"), 1);
    c.copiedURL = QStringLiteral("/exports/Q&A Talk/media/take's.mov");
    const QString doc = buildFCPXML({c}, QStringLiteral("Q&A Talk"));
    EXPECT_TRUE(doc.contains(QStringLiteral("name=\"Q&amp;A &lt;intro&gt; &quot;live&quot; it&apos;s\"")));
    EXPECT_TRUE(doc.contains(QStringLiteral("<event name=\"Q&amp;A Talk\">")));
    EXPECT_TRUE(doc.contains(QStringLiteral("src=\"file:///exports/Q&amp;A%20Talk/media/take&apos;s.mov\"")));
    EXPECT_FALSE(doc.contains(QStringLiteral("&amp;amp;")));
}

TEST(FCPXMLDocument, UnwritableTimeFailsWithAMessage)
{
    Clip c = clip(QStringLiteral("a"), std::numeric_limits<double>::infinity());
    try {
        buildFCPXML({c}, QStringLiteral("T"));
        FAIL() << "an infinite duration was written";
    } catch (const timeline_export::TimelineExportError &error) {
        EXPECT_EQ(error.kind(), timeline_export::TimelineExportError::Kind::unwritableTime);
    }
}

TEST(FCP7Timebase, RatesRoundingAndNTSC)
{
    const FCP7Timebase ntsc = fcp7TimebaseForFrameRate(29.97);
    EXPECT_EQ(ntsc.timebase, 30);
    EXPECT_TRUE(ntsc.ntsc);
    EXPECT_DOUBLE_EQ(ntsc.rate, 30000.0 / 1001.0);
    EXPECT_EQ(fcp7TimebaseForFrameRate(25), (FCP7Timebase{25, 25, false}));
    EXPECT_EQ(fcp7TimebaseForFrameRate(30), (FCP7Timebase{30, 30, false}));
    EXPECT_TRUE(fcp7TimebaseForFrameRate(23.98).ntsc);
    EXPECT_EQ(fcp7TimebaseForFrameRate(24.5).timebase, 25);
    EXPECT_EQ(fcp7TimebaseForFrameRate(0.3).timebase, 1);
    EXPECT_EQ(fcp7TimebaseForFrameRate(59.95).timebase, 60);
    EXPECT_TRUE(fcp7TimebaseForFrameRate(59.95).ntsc);
}

TEST(FCP7Document, FrameCountsAtTheFirstClipsTimebase)
{
    Clip first = clip(QStringLiteral("a"), 10, 29.97);
    first.trimStart = 0;
    const QString doc = buildFCP7XML({first, clip(QStringLiteral("b"), 1.5, 60)}, QStringLiteral("T"));
    EXPECT_TRUE(doc.contains(QStringLiteral("        <duration>345</duration>\n        <rate><timebase>30</timebase><ntsc>TRUE</ntsc></rate>")));
    const QStringList starts = linesContaining(doc, QStringLiteral("<start>"));
    const QStringList ends = linesContaining(doc, QStringLiteral("<end>"));
    // Video item and first-audio item of each clip.
    ASSERT_EQ(starts.size(), 4);
    EXPECT_EQ(starts[0].trimmed(), QStringLiteral("<start>0</start>"));
    EXPECT_EQ(ends[0].trimmed(), QStringLiteral("<end>300</end>"));
    EXPECT_EQ(starts[1].trimmed(), QStringLiteral("<start>300</start>"));
    EXPECT_EQ(ends[1].trimmed(), QStringLiteral("<end>345</end>"));
    EXPECT_TRUE(doc.contains(QStringLiteral("<in>15</in>\n                <out>60</out>")));
    EXPECT_FALSE(doc.contains(QStringLiteral("<timebase>60</timebase>")));
}

TEST(FCP7Document, TracksItemsAndLinksForMixedAudio)
{
    const QString doc = buildFCP7XML({clip(QStringLiteral("a"), 1, 60, {}),
                                      clip(QStringLiteral("b"), 1, 60, {2, 2}),
                                      clip(QStringLiteral("c"), 1, 60, {1})},
                                     QStringLiteral("T"));
    EXPECT_EQ(linesContaining(doc, QStringLiteral("<clipitem id=\"clipitem-v-")).size(), 3);
    EXPECT_EQ(linesContaining(doc, QStringLiteral("<clipitem id=\"clipitem-a1-")).size(), 3);
    EXPECT_EQ(linesContaining(doc, QStringLiteral("<clipitem id=\"clipitem-a2-")).size(), 1);
    EXPECT_EQ(linesContaining(doc, QStringLiteral("<track>")).size(), 3);
    // Clip 2's three items carry three links each; the others two each.
    EXPECT_EQ(linesContaining(doc, QStringLiteral("<link>")).size(), 2 * 2 + 3 * 3 + 2 * 2);
    EXPECT_EQ(linesContaining(doc, QStringLiteral("<linkclipref>clipitem-a2-2</linkclipref>")).size(), 3);
    const QStringList channelCounts = linesContaining(doc, QStringLiteral("<channelcount>"));
    ASSERT_EQ(channelCounts.size(), 3);
    EXPECT_TRUE(channelCounts[0].contains(QStringLiteral("<channelcount>1</channelcount>")));
    EXPECT_TRUE(channelCounts[1].contains(QStringLiteral("<channelcount>4</channelcount>")));
    EXPECT_TRUE(channelCounts[2].contains(QStringLiteral("<channelcount>1</channelcount>")));
    EXPECT_EQ(linesContaining(doc, QStringLiteral("<file id=\"file-2\"/>")).size(), 2);
}

TEST(FCP7Document, EscapesNamesFileNamesAndLocations)
{
    Clip c = clip(QStringLiteral("it's"), 1);
    c.filename = QStringLiteral("R&D.mov");
    c.copiedURL = QStringLiteral("/exports/T/media/R&D.mov");
    const QString doc = buildFCP7XML({c}, QStringLiteral("<Talk>"));
    EXPECT_TRUE(doc.contains(QStringLiteral("<name>&lt;Talk&gt;</name>")));
    EXPECT_TRUE(doc.contains(QStringLiteral("<name>it&apos;s</name>")));
    EXPECT_TRUE(doc.contains(QStringLiteral("<name>R&amp;D.mov</name>")));
    EXPECT_TRUE(doc.contains(QStringLiteral("<pathurl>file:///exports/T/media/R&amp;D.mov</pathurl>")));
}
