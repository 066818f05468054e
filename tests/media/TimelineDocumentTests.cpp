// The two document builders on hand-made clip lists: times, formats, audio layouts, escaping.
#include "media/FCP7XMLWriter.h"
#include "media/FCPXMLWriter.h"
#include "TimelineTestSupport.h"

#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

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

namespace {

// A rational FCPXML time ("12100/6000s", "0s") in frames of `frameNum` units each.
std::int64_t fcpxmlFrames(const QStringView text, std::int64_t frameNum)
{
    if (text == u"0s")
        return 0;
    const auto units = text.left(text.indexOf(u'/')).toLongLong();
    EXPECT_EQ(units % frameNum, 0) << text.toString().toStdString() << " is not on a frame";
    return units / frameNum;
}

struct Placed {
    std::int64_t start, end, in, out, sourceLength;
};

// Every clip as the document places it: on the timeline, in its movie and the movie's length;
// `sequence` is the sequence's own duration.
struct Laid {
    QList<Placed> clips;
    std::int64_t sequence = -1;
};

Laid laidOutInFCPXML(const QString &document, std::int64_t frameNum)
{
    Laid laid;
    std::map<QString, std::int64_t> assetLengths;
    QXmlStreamReader xml(document);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto attrs = xml.attributes();
        if (xml.name() == u"asset") {
            assetLengths[attrs.value(QLatin1String("id")).toString()] = fcpxmlFrames(attrs.value(QLatin1String("duration")), frameNum);
        } else if (xml.name() == u"sequence") {
            laid.sequence = fcpxmlFrames(attrs.value(QLatin1String("duration")), frameNum);
        } else if (xml.name() == u"asset-clip") {
            const std::int64_t offset = fcpxmlFrames(attrs.value(QLatin1String("offset")), frameNum);
            const std::int64_t in = fcpxmlFrames(attrs.value(QLatin1String("start")), frameNum);
            const std::int64_t length = fcpxmlFrames(attrs.value(QLatin1String("duration")), frameNum);
            laid.clips.append(Placed{offset, offset + length, in, in + length,
                                     assetLengths.at(attrs.value(QLatin1String("ref")).toString())});
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return laid;
}

Laid laidOutInFCP7(const QString &document)
{
    Laid laid;
    QXmlStreamReader xml(document);
    std::map<QString, std::int64_t> values;
    bool inVideoItem = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == u"clipitem") {
            inVideoItem = xml.attributes().value(QLatin1String("id")).startsWith(u"clipitem-v-");
            values.clear();
        } else if (xml.isStartElement() && xml.name() == u"duration" && laid.sequence < 0) {
            laid.sequence = xml.readElementText().toLongLong();
        } else if (xml.isStartElement() && inVideoItem) {
            const QString name = xml.name().toString();
            if (QStringList{"start", "end", "in", "out", "duration"}.contains(name))
                values[name] = xml.readElementText().toLongLong();
        } else if (xml.isEndElement() && xml.name() == u"clipitem" && inVideoItem) {
            laid.clips.append(Placed{values.at("start"), values.at("end"), values.at("in"),
                               values.at("out"), values.at("duration")});
            inVideoItem = false;
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return laid;
}

} // namespace

// Trims made by dragging fall between frames. Both timelines must still lie end to end, take as
// many frames from each movie as the clip lasts on the timeline, stay inside each movie, and last
// exactly as long as their clips: an editor shows a gap, a black frame or a slipped clip for any
// miss.
TEST(TimelineFrames, TrimsBetweenFramesLieEndToEndInBothDocuments)
{
    // Trim start and end (seconds) and the movie's length: the drag from the field first, then
    // trims landing just short of, on and just past frame halves, one reaching the movie's end.
    const struct {
        double trimStart, trimEnd, fullDuration;
    } takes[] = {
        {0.13405797101449277, 1.894927536231884, 2.5},
        {0.0083, 2.0125, 2.0125},
        {0.2, 0.75, 1.01},
        {1.0 / 120, 1.0 + 1.0 / 120, 3},
        {0.49, 3.017, 3.017},
        {0, 0.0166, 1.25},
        {0.7351, 2.2049, 4.1},
    };
    for (const double fps : {23.976, 29.97, 30.0, 60.0}) {
        SCOPED_TRACE(fps);
        QList<Clip> clips;
        double seconds = 0;
        for (const auto &take : takes) {
            Clip c = clip(QStringLiteral("c%1").arg(clips.size() + 1), 0, fps);
            c.trimStart = take.trimStart;
            c.trimmedDuration = take.trimEnd - take.trimStart;
            c.fullDuration = take.fullDuration;
            seconds += c.trimmedDuration;
            clips.append(c);
        }
        const FCPXMLFrameDuration frame = fcpxmlFrameDuration(fps);
        const double rate = double(frame.den) / double(frame.num);
        const Laid fcpxml = laidOutInFCPXML(buildFCPXML(clips, QStringLiteral("T")), frame.num);
        const Laid fcp7 = laidOutInFCP7(buildFCP7XML(clips, QStringLiteral("T")));
        for (const Laid *laid : {&fcpxml, &fcp7}) {
            SCOPED_TRACE(laid == &fcpxml ? "FCPXML" : "FCP7 XML");
            ASSERT_EQ(laid->clips.size(), clips.size());
            std::int64_t expectedStart = 0;
            for (qsizetype i = 0; i < clips.size(); ++i) {
                const Placed &p = laid->clips[i];
                SCOPED_TRACE(i);
                EXPECT_EQ(p.start, expectedStart);
                EXPECT_EQ(p.end - p.start, p.out - p.in);
                EXPECT_GE(p.in, 0);
                EXPECT_LE(p.out, p.sourceLength);
                EXPECT_NEAR(double(p.in), clips[i].trimStart * rate, 1.0);
                EXPECT_NEAR(double(p.end - p.start), clips[i].trimmedDuration * rate, 1.0);
                expectedStart = p.end;
            }
            EXPECT_EQ(laid->sequence, expectedStart);
            EXPECT_EQ(laid->sequence, std::llround(seconds * rate));
        }
    }
}

namespace {

// The names a document holds, as an XML reader reads them.
QStringList namesRead(const QString &document)
{
    QStringList names;
    QXmlStreamReader xml(document);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.attributes().hasAttribute(QLatin1String("name")))
            names << xml.attributes().value(QLatin1String("name")).toString();
        else if (xml.name() == u"name")
            names << xml.readElementText();
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return names;
}

} // namespace

// Names come pasted from anywhere: a word processor's line break (U+000B), other controls, half a
// surrogate pair, quotes, emoji, right-to-left text. Both documents take them, xmllint and the
// readers above accept them, and they read back as typed as far as XML can carry them.
TEST(TimelineNames, EveryNameMakesDocumentsEveryReaderTakes)
{
    const std::pair<QString, QString> names[] = {
        {QStringLiteral("Intro\u000BPart\u0001two"), QStringLiteral("Intro Part two")},
        {QStringLiteral("Q&A <\"live\"> it's 🎬"), QStringLiteral("Q&A <\"live\"> it's 🎬")},
        {QStringLiteral("שלום — مرحبا\u200F"), QStringLiteral("שלום — مرحبا\u200F")},
        {QString(QChar(0xD800)) + QStringLiteral("half\uFFFE"), QStringLiteral("\uFFFDhalf\uFFFD")},
    };
    QTemporaryDir dir;
    const QString fcpxmlPath = dir.filePath(QStringLiteral("t.fcpxml")), fcp7Path = dir.filePath(QStringLiteral("t.xml"));
    for (const auto &[typed, read] : names) {
        const QList<Clip> clips{clip(typed, 1), clip(QStringLiteral("b"), 2)};
        timeline_export::writeDocument(fcpxmlPath, buildFCPXML(clips, typed));
        timeline_export::writeDocument(fcp7Path, buildFCP7XML(clips, typed));
        const QString fcpxml = lumacast::testing::readText(fcpxmlPath), fcp7 = lumacast::testing::readText(fcp7Path);
        EXPECT_EQ(namesRead(fcpxml).count(read), 4) << read.toStdString(); // event, project, asset, clip
        EXPECT_EQ(namesRead(fcp7).count(read), 3) << read.toStdString();   // sequence, video and audio items
        EXPECT_EQ(laidOutInFCPXML(fcpxml, 100).clips.size(), 2);
        EXPECT_EQ(laidOutInFCP7(fcp7).clips.size(), 2);
        EXPECT_TRUE(lumacast::testing::validatesAgainstFCPXMLDTD(fcpxmlPath));
        EXPECT_TRUE(lumacast::testing::isWellFormedXML(fcp7Path));
    }
}
