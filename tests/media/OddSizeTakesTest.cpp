// Takes of the sizes a window can have, written by the take writer, and movies of odd sizes made
// elsewhere (4:4:4, whose decoded pictures keep the odd size): each gets its filmstrip, plays
// frame by frame as the player reads it, and is exported onto a canvas and, trimmed off a
// key frame, passed through with its cut re-encoded. Every picture must come out whole and in
// the take's colour to its last row and column: a conversion into rows only as long as the
// picture leaves the last pixels of a row unconverted or writes past the image, which the
// picture conversion's own test catches where AddressSanitizer cannot see it.

#include "capture/TakeWriter.h"
#include "media/MovieExport.h"
#include "model/Session.h"
#include "platform/av/Asset.h"
#include "platform/av/AssetReader.h"
#include "platform/av/FilmstripGenerator.h"
#include "support/AwaitTask.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace lumacast;
using av::MediaTime;
using av::MediaType;

namespace {

struct SizeCase {
    int width, height;
    bool madeElsewhere = false; // 4:4:4 by the ffmpeg command line, else the take writer's
};

const SizeCase kCases[] = {{1, 1},     {2, 2},     {299, 301}, {300, 300},       {330, 250},      {302, 240},
                           {450, 350}, {1366, 768}, {1, 1, true}, {3, 5, true}, {299, 301, true}};

// One flat colour per take, BGR.
const std::array<uint8_t, 3> kColours[] = {{40, 40, 200}, {40, 190, 40}, {200, 60, 40}, {40, 200, 200}};
constexpr double kSeconds = 1.0;
constexpr int kRate = 15;

QString colourFilter(const std::array<uint8_t, 3> &bgr)
{
    return QStringLiteral("color=c=0x%1%2%3")
        .arg(bgr[2], 2, 16, QLatin1Char('0'))
        .arg(bgr[1], 2, 16, QLatin1Char('0'))
        .arg(bgr[0], 2, 16, QLatin1Char('0'));
}

// A take of one colour with a tone, as a recording of a window of that size gives it.
Take makeTake(const QString &folder, const SizeCase &c, const std::array<uint8_t, 3> &bgr)
{
    Take take;
    take.id = QUuid::createUuid();
    take.filename = take.id.toString(QUuid::WithoutBraces) + QStringLiteral(".mov");
    take.duration = take.trimEnd = kSeconds;
    const QString path = QDir(folder).filePath(take.filename);
    if (c.madeElsewhere) {
        const auto made = lumacast::testing::runProcess(
            QStringLiteral("ffmpeg"),
            {"-v", "error", "-f", "lavfi", "-i",
             colourFilter(bgr)
                 + QStringLiteral(":size=%1x%2:rate=%3:duration=%4,format=yuv444p").arg(c.width).arg(c.height).arg(kRate).arg(kSeconds),
             "-f", "lavfi", "-i", QStringLiteral("sine=f=440:d=%1").arg(kSeconds), "-c:v", "libx264", "-preset", "ultrafast",
             "-pix_fmt", "yuv444p", "-g", "100", "-bf", "0", "-c:a", "aac", path});
        EXPECT_TRUE(made.ok()) << made.err.toStdString();
        return take;
    }
    TakeWriter writer(path);
    writer.keepsJournal = false;
    writer.setUp(c.width, c.height, 48000, 1, false);
    std::vector<uint8_t> pixels(size_t(c.width) * c.height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4)
        pixels[i] = bgr[0], pixels[i + 1] = bgr[1], pixels[i + 2] = bgr[2], pixels[i + 3] = 255;
    std::vector<float> sound(48000 / kRate, 0.1f);
    for (int i = 0; i < int(kSeconds * kRate); ++i) {
        while (!writer.isReadyForVideo())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        writer.appendVideo({pixels.data(), c.width, c.height, c.width * 4, SampleTime::make(100 + i, kRate)});
        writer.appendMicAudio({sound.data(), int(sound.size()), AudioBuffer::Format::float32, 48000, 1,
                               SampleTime::make((100 + i) * int(sound.size()), 48000)});
    }
    EXPECT_TRUE(writer.finish().has_value());
    return take;
}

// Within what the encoders and the canvas's colour handling shift a colour by; a pixel left
// unconverted is memory's leftovers.
bool near(QRgb pixel, const std::array<uint8_t, 3> &bgr)
{
    return std::abs(qBlue(pixel) - bgr[0]) < 40 && std::abs(qGreen(pixel) - bgr[1]) < 40
        && std::abs(qRed(pixel) - bgr[2]) < 40;
}

// Pixels of the last column, the last row and the middle that are not of the colour.
int offColour(const QImage &image, const std::array<uint8_t, 3> &bgr)
{
    int off = !near(image.pixel(image.width() / 2, image.height() / 2), bgr);
    for (int y = 0; y < image.height(); ++y)
        off += !near(image.pixel(image.width() - 1, y), bgr);
    for (int x = 0; x < image.width(); ++x)
        off += !near(image.pixel(x, image.height() - 1), bgr);
    return off;
}

// The size the movie's pictures decode at: the take encoder stores an odd side one larger.
QSize decodedSize(const SizeCase &c)
{
    return c.madeElsewhere ? QSize(c.width, c.height) : QSize(c.width + (c.width & 1), c.height + (c.height & 1));
}

QList<QImage> filmstrip(const QString &path, int count)
{
    QList<QImage> strip;
    bool complete = false;
    QObject context;
    av::FilmstripGenerator run(path, kSeconds, count, QSize(160, 160), &context, [&](QList<QImage> images, bool whole) {
        strip = std::move(images);
        complete = whole;
    });
    QElapsedTimer waited;
    waited.start();
    while (!complete && waited.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(complete);
    return strip;
}

// Every picture of the take, read as the player's decoder reads them.
QList<QImage> playedPictures(const QString &path)
{
    const auto asset = av::Asset::open(path);
    av::AssetReader reader(asset, asset->tracks(MediaType::Video).first().index);
    QList<QImage> pictures;
    while (auto frame = reader.nextVideoFrame())
        pictures.append(frame->image);
    return pictures;
}

class OddSizeTakes : public ::testing::Test {
protected:
    lumacast::testing::TemporaryHome m_home;
    QTemporaryDir m_dir;
    QString takes() const { return m_dir.filePath(QStringLiteral("takes")); }
};

TEST_F(OddSizeTakes, OpenPlayAndExportWholeThroughEveryPicturePath)
{
    QDir().mkpath(takes());
    QList<Take> list;
    for (size_t i = 0; i < std::size(kCases); ++i) {
        const SizeCase &c = kCases[i];
        const auto &colour = kColours[i % std::size(kColours)];
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << (c.madeElsewhere ? " made elsewhere" : ""));
        list.append(makeTake(takes(), c, colour));
        const QString path = QDir(takes()).filePath(list.last().filename);

        // Opened: the trim bar's filmstrip.
        const QList<QImage> strip = filmstrip(path, 4);
        ASSERT_EQ(strip.size(), 4);
        for (const QImage &picture : strip)
            EXPECT_EQ(offColour(picture, colour), 0);

        // Played: every frame of the take.
        const QList<QImage> played = playedPictures(path);
        EXPECT_GE(played.size(), int(kSeconds * kRate) - 1);
        for (int f = 0; f < played.size(); ++f) {
            ASSERT_EQ(played[f].size(), decodedSize(c)) << "frame " << f;
            EXPECT_EQ(offColour(played[f], colour), 0) << "frame " << f;
        }

        // Exported alone, trimmed off its key frame: passed through with the cut re-encoded, or
        // refused where the 4:2:0 encoder cannot take the size.
        Take trimmed = list.last();
        trimmed.trimStart = 0.4;
        const QString alone = m_dir.filePath(QStringLiteral("alone-%1.mov").arg(i));
        try {
            lumacast::testing::runTask(session_exporter::exportMovie({trimmed}, takes(), alone, [](double) {}));
            av::ImageGenerator generator(av::Asset::open(alone));
            EXPECT_EQ(offColour(generator.imageAt(MediaTime(1, 10)).image, colour), 0);
        } catch (const Error &error) {
            EXPECT_TRUE(c.madeElsewhere && (c.width % 2 || c.height % 2)) << describeErrorChain(error).toStdString();
            EXPECT_TRUE(describeErrorChain(error).contains(QStringLiteral("odd side")))
                << describeErrorChain(error).toStdString();
        }
    }

    // Exported together: every take but the largest is painted onto the largest's canvas.
    const QString out = m_dir.filePath(QStringLiteral("together.mov"));
    lumacast::testing::runTask(session_exporter::exportMovie(list, takes(), out, [](double) {}));
    const auto asset = av::Asset::open(out);
    EXPECT_EQ(asset->tracks(MediaType::Video).first().naturalSize, QSizeF(1366, 768));
    av::ImageGenerator generator(asset);
    for (int i = 0; i < list.size(); ++i) {
        const QImage picture = generator.imageAt(MediaTime::fromSeconds((i + 0.5) * kSeconds, 600)).image;
        EXPECT_TRUE(near(picture.pixel(683, 384), kColours[size_t(i) % std::size(kColours)])) << "take " << i;
    }
}

} // namespace
