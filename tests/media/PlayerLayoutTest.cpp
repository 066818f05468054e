// Every kind of movie Lumacast writes, played by ffmpeg, by GStreamer's QuickTime demuxer (what
// GNOME's player and desktop previews use), by mpv and by VLC: every expected frame and no hidden
// one, no warning about the file, the right frames around each cut (also after a seek to just
// before it), sound to the end, and a layout that all players read alike (one edit per track at
// most, one sample description, a version 0 sound description). Takes of a screen that stands
// still hold one sample on screen for many frames, as does the black under a take of sound alone:
// those players show each picture once, and ffmpeg at the take's rate shows it in every frame it
// lasts, cuts inside a held sample included.
#include "media/FCPXMLWriter.h"
#include "media/MovieExport.h"
#include "media/TakeJoiner.h"
#include "media/TimelineExportAsset.h"
#include "model/Session.h"
#include "platform/av/MovieStructure.h"
#include "platform/av/TakeEncoder.h"
#include "support/AwaitTask.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <thread>

#include <unistd.h>

using namespace lumacast;
using lumacast::testing::ProcessResult;
using lumacast::testing::runProcess;

namespace {

constexpr int kWidth = 320, kHeight = 180;
const std::array<std::array<int, 3>, 4> kColours{{{200, 40, 40}, {40, 190, 40}, {40, 60, 200}, {200, 200, 40}}};

struct Spec {
    int colour = 0;
    double seconds = 1.0;
    int fps = 30;
    int width = kWidth, height = kHeight;
    bool systemAudio = false;
    double micDelay = 0; // the microphone's first sample comes this late
    bool untagged = false; // no colour tags: other H.264 parameter sets than today's takes
    // Seconds [from, to) in which the screen stands still: the picture at `from` is handed in
    // again, numbered as before, and the encoder holds it on screen.
    std::vector<std::pair<double, double>> holds = {};
};

// The frame of a take shown at frame slot `i`: the first of its hold when it lies in one.
int pictureAt(const Spec &spec, int i)
{
    for (const auto &[from, to] : spec.holds)
        if (i >= int(std::lround(from * spec.fps)) && i < int(std::lround(to * spec.fps)))
            return int(std::lround(from * spec.fps));
    return i;
}

// A frame as players show it: its take's colour and its number within the take.
struct Frame {
    int colour = -1, number = -1;
    friend bool operator==(const Frame &, const Frame &) = default;
};
void PrintTo(const Frame &f, std::ostream *os) { *os << "take " << f.colour << " #" << f.number; }

// Writes a take through the take encoder: the colour fills the lower part, the frame number is
// burnt into the top band as eight black or white blocks; a 440 Hz tone on the microphone.
void writeTake(const QString &path, const Spec &spec)
{
    av::TakeEncoder encoder(path);
    av::VideoSettings video;
    video.width = spec.width;
    video.height = spec.height;
    if (spec.untagged)
        video.colorPrimaries = video.transferFunction = video.yCbCrMatrix = QString();
    const int v = encoder.addVideoTrack(video);
    av::AudioSettings audio;
    audio.sampleRate = 48000;
    audio.channels = 2;
    audio.bitRate = 128000;
    const int mic = encoder.addAudioTrack(audio);
    const int system = spec.systemAudio ? encoder.addAudioTrack(audio) : -1;
    ASSERT_TRUE(encoder.startWriting()) << (encoder.error() ? encoder.error()->message() : QString()).toStdString();
    encoder.startSession(0, spec.fps);
    std::vector<uint8_t> pixels(std::size_t(spec.width) * spec.height * 4);
    const auto &c = kColours[std::size_t(spec.colour)];
    std::int64_t done = std::int64_t(spec.micDelay * 48000);
    const int frames = int(std::lround(spec.seconds * spec.fps));
    for (int i = 0; i < frames; ++i) {
        const int picture = pictureAt(spec, i);
        for (int y = 0; y < spec.height; ++y)
            for (int x = 0; x < spec.width; ++x) {
                uint8_t *p = &pixels[(std::size_t(y) * spec.width + x) * 4];
                const bool band = y < spec.height / 4;
                const uint8_t bit = ((picture >> (7 - x * 8 / spec.width)) & 1) ? 235 : 16;
                p[0] = band ? bit : uint8_t(c[2]);
                p[1] = band ? bit : uint8_t(c[1]);
                p[2] = band ? bit : uint8_t(c[0]);
                p[3] = 255;
            }
        while (!encoder.isReadyForMoreMediaData(v))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        encoder.appendVideo(v, pixels.data(), spec.width, spec.height, spec.width * 4, i, spec.fps,
                            std::uint64_t(picture) + 1);
        const std::int64_t until = std::int64_t(i + 1) * 48000 / spec.fps;
        if (until > done) {
            std::vector<float> tone(std::size_t(until - done) * 2);
            for (std::int64_t k = 0; k < until - done; ++k)
                tone[std::size_t(2 * k)] = tone[std::size_t(2 * k + 1)] = 0.3f * float(std::sin(2 * M_PI * 440 * double(done + k) / 48000));
            for (int track : {mic, system})
                if (track >= 0) {
                    while (!encoder.isReadyForMoreMediaData(track))
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    encoder.appendAudio(track, tone.data(), int(until - done), av::TakeEncoder::SampleFormat::float32,
                                        48000, 2, done, 48000);
                }
            done = until;
        }
    }
    encoder.finishWriting();
    ASSERT_EQ(encoder.status(), av::TakeEncoder::Status::completed) << (encoder.error() ? encoder.error()->message() : QString()).toStdString();
}

// A stretch with no picture of its own (a take's sound alone) shows black.
constexpr int kBlack = -1;

Frame identify(const uint8_t *rgb)
{
    const uint8_t *p = rgb + (std::size_t(kHeight * 3 / 4) * kWidth + kWidth / 2) * 3;
    if (p[0] < 30 && p[1] < 30 && p[2] < 30)
        return {kBlack, kBlack};
    Frame f{0, 0};
    for (int bit = 0; bit < 8; ++bit) {
        const int x = (bit * 2 + 1) * kWidth / 16;
        f.number = f.number * 2 + (rgb[(std::size_t(kHeight / 8) * kWidth + x) * 3] > 128 ? 1 : 0);
    }
    int best = 1 << 30;
    for (int i = 0; i < int(kColours.size()); ++i) {
        const auto &c = kColours[std::size_t(i)];
        const int d = std::abs(p[0] - c[0]) + std::abs(p[1] - c[1]) + std::abs(p[2] - c[2]);
        if (d < best)
            best = d, f.colour = i;
    }
    return f;
}

std::vector<Frame> framesIn(const QString &raw)
{
    QFile file(raw);
    std::vector<Frame> frames;
    if (!file.open(QIODevice::ReadOnly))
        return frames;
    const QByteArray bytes = file.readAll();
    const qsizetype size = qsizetype(kWidth) * kHeight * 3;
    for (qsizetype at = 0; at + size <= bytes.size(); at += size)
        frames.push_back(identify(reinterpret_cast<const uint8_t *>(bytes.constData() + at)));
    return frames;
}

enum class Player { ffmpeg, gstreamer, mpv, vlc };

const char *playerName(Player player)
{
    switch (player) {
    case Player::ffmpeg: return "ffmpeg";
    case Player::gstreamer: return "GStreamer";
    case Player::mpv: return "mpv";
    case Player::vlc: return "VLC";
    }
    return "?";
}

// VLC refuses to run as root; the test then plays the movie as `nobody`, which needs to read the
// movie and write the frames.
QStringList vlcCommand(const QString &home)
{
    QStringList command{QStringLiteral("env"), QStringLiteral("HOME=") + home, QStringLiteral("cvlc")};
    if (geteuid() == 0)
        command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                              QStringLiteral("--clear-groups")} + command;
    return command;
}

// VLC's lines at -v that speak of the file, less the ones it prints for every QuickTime file.
QStringList vlcWarningsAbout(const QByteArray &log)
{
    QStringList found;
    for (const QString &line : QString::fromUtf8(log).split(QLatin1Char('\n'))) {
        const bool aboutFile = line.contains(QLatin1String("demux")) || line.contains(QLatin1String("decoder"));
        const bool bad = line.contains(QLatin1String(" warning: ")) || line.contains(QLatin1String(" error: "));
        const bool routine = line.contains(QLatin1String("elst box found")) || line.contains(QLatin1String("STTS table of"))
            || line.contains(QLatin1String("CTTS table of"));
        if (aboutFile && bad && !routine)
            found << line;
    }
    return found;
}

// Runs mpv or VLC over the movie, each frame saved as a picture into `pictures`, and returns what
// the player said about the file. mpv runs untimed through its display path; VLC goes through its
// transcode chain, where its picture filter sees every decoded frame (its display path drops the
// first or last frame now and then however the file is laid out).
ProcessResult savePictures(const QString &movie, Player player, const QString &pictures, double seekTo)
{
    QDir().mkpath(pictures);
    if (player == Player::mpv) {
        // No auto profiles: mpv 0.40's profile hook now and then outlives its client and says
        // "client removed during hook handling", a line about mpv, not about the file.
        QStringList args{"--no-config", "--load-auto-profiles=no", "--msg-level=all=warn", "--ao=null", "--untimed", "--framedrop=no", "--vo=image",
                         "--vo-image-format=png", "--vo-image-outdir=" + pictures};
        if (seekTo >= 0)
            args << "--start=" + QString::number(seekTo, 'f', 4) << "--frames=2";
        ProcessResult r = runProcess(QStringLiteral("mpv"), args << movie);
        // On a loaded machine the null audio output runs ahead of the picture encoder, and mpv
        // says so, with a hint at faster settings: lines about the machine, not about the file.
        static const QRegularExpression desync(
            QStringLiteral("Audio/Video desynchronisation detected!.*?\\(see A-V status field\\)\\.\\s*(Consider trying [^\\n]* may help\\.\\s*)?"),
            QRegularExpression::DotMatchesEverythingOption);
        r.out = QString::fromUtf8(r.out).remove(desync).toUtf8();
        r.err = QString::fromUtf8(r.err).remove(desync).toUtf8();
        return r;
    }
    const auto readable = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    const auto open = readable | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QFile::setPermissions(QFileInfo(movie).absolutePath(), open);
    QFile::setPermissions(movie, readable | QFileDevice::WriteOwner);
    QFile::setPermissions(pictures, open | QFileDevice::WriteGroup | QFileDevice::WriteOther);
    QStringList command = vlcCommand(pictures);
    const QString program = command.takeFirst();
    command << "-v" << "--ignore-config" << "--no-plugins-cache" << "-I" << "dummy" << "--no-sout-audio"
            << "--scene-format=png" << "--scene-ratio=1" << "--scene-prefix=f" << "--scene-path=" + pictures << "--sout"
            << "#transcode{vcodec=h264,vfilter=scene,venc=x264{qp=40,preset=ultrafast}}:dummy" << "--play-and-exit"
            << movie;
    ProcessResult r = runProcess(program, command);
    r.err = vlcWarningsAbout(r.err + r.out).join(QLatin1Char('\n')).toUtf8();
    r.out.clear();
    return r;
}

// The frames a player decodes, all of them, in order (ffmpeg from `seekTo` on when given, mpv the
// first two from there); ffmpeg gives one per frame slot at `rate` when given, each held sample as
// often as it lasts.
std::vector<Frame> decodedFrames(const QString &movie, Player player, double seekTo = -1, int rate = 0)
{
    const QString raw = movie + QStringLiteral(".rgb");
    QFile::remove(raw);
    ProcessResult r;
    if (player == Player::ffmpeg) {
        QStringList args{"-v", "error"};
        if (seekTo >= 0)
            args << "-ss" << QString::number(seekTo, 'f', 4);
        // The fps filter places frames by their times; -fps_mode cfr after a filter misjudges
        // a long sample's end by a frame now and then.
        const QString atRate = rate > 0 ? QStringLiteral("fps=%1,").arg(rate) : QString();
        args << "-i" << movie << "-map" << "0:v:0" << "-fps_mode" << "passthrough" << "-vf"
             << atRate + QStringLiteral("scale=%1:%2").arg(kWidth).arg(kHeight) << "-pix_fmt" << "rgb24" << "-f"
             << "rawvideo" << raw;
        r = runProcess(QStringLiteral("ffmpeg"), args);
    } else if (player == Player::gstreamer) {
        r = runProcess(QStringLiteral("gst-launch-1.0"),
                       {"-q", "filesrc", "location=" + movie, "!", "qtdemux", "name=d", "d.video_0", "!", "queue", "!",
                        "decodebin", "!", "videoconvert", "!", "videoscale", "!",
                        QStringLiteral("video/x-raw,format=RGB,width=%1,height=%2").arg(kWidth).arg(kHeight), "!",
                        "filesink", "location=" + raw, "d.audio_0", "!", "queue", "!", "fakesink"});
    } else {
        const QString pictures = movie + QStringLiteral(".") + QString::fromLatin1(playerName(player));
        QDir(pictures).removeRecursively();
        r = savePictures(movie, player, pictures, seekTo);
        // Nothing but the pictures: any line is a warning or error about the file.
        EXPECT_EQ((r.out + r.err).trimmed().toStdString(), "");
        const QString pattern = player == Player::mpv ? QStringLiteral("%08d.png") : QStringLiteral("f%05d.png");
        const ProcessResult png = runProcess(QStringLiteral("ffmpeg"),
                                             {"-v", "error", "-i", pictures + QLatin1Char('/') + pattern, "-vf",
                                              QStringLiteral("scale=%1:%2").arg(kWidth).arg(kHeight), "-pix_fmt",
                                              "rgb24", "-f", "rawvideo", raw});
        EXPECT_TRUE(png.ok()) << png.err.toStdString();
    }
    EXPECT_TRUE(r.ok()) << r.err.toStdString();
    return framesIn(raw);
}

// Seconds of sound a player decodes from the first audio track.
double decodedSoundSeconds(const QString &movie, Player player)
{
    const QString raw = movie + QStringLiteral(".pcm");
    QFile::remove(raw);
    const ProcessResult r =
        player == Player::ffmpeg
            ? runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-i", movie, "-map", "0:a:0", "-ac", "1", "-ar", "48000",
                                                    "-f", "s16le", raw})
        : player == Player::mpv
            ? runProcess(QStringLiteral("mpv"), {"--no-config", "--load-auto-profiles=no", "--msg-level=all=warn", "--vid=no", "--aid=1", "--ao=pcm",
                                                 "--ao-pcm-file=" + raw, "--ao-pcm-waveheader=no", "--audio-format=s16",
                                                 "--audio-channels=mono", "--audio-samplerate=48000", movie})
            : runProcess(QStringLiteral("gst-launch-1.0"),
                         {"-q", "filesrc", "location=" + movie, "!", "qtdemux", "name=d", "d.audio_0", "!", "queue", "!",
                          "decodebin", "!", "audioconvert", "!", "audioresample", "!",
                          "audio/x-raw,format=S16LE,channels=1,rate=48000", "!", "filesink", "location=" + raw,
                          "d.video_0", "!", "queue", "!", "fakesink"});
    EXPECT_TRUE(r.ok()) << r.err.toStdString();
    return double(QFileInfo(raw).size()) / 2 / 48000;
}

// The pictures in order, each once however many samples or slots show it.
std::vector<Frame> pictures(std::vector<Frame> frames)
{
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

// One stretch of a movie: frames [first, last] of a take.
struct Stretch {
    int colour, first, last;
};

struct Kind {
    const char *name;
    std::vector<Spec> takes;
    // Writes the movie from the takes (paths in take order) and returns the stretches it shows.
    std::function<std::vector<Stretch>(const QStringList &takes, const QString &out)> make;
};

// The checked takes of an export, each with its kept range in frames.
std::vector<Stretch> exportTakes(const QStringList &paths, const std::vector<Spec> &specs,
                                 const std::vector<std::pair<double, double>> &trims, const QString &out,
                                 session_exporter::MovieExportOptions options = {})
{
    QList<Take> takes;
    std::vector<Stretch> stretches;
    for (std::size_t i = 0; i < trims.size(); ++i) {
        Take t;
        t.id = QUuid::createUuid();
        t.filename = QFileInfo(paths[qsizetype(i)]).fileName();
        t.duration = specs[i].seconds;
        t.trimStart = trims[i].first;
        t.trimEnd = trims[i].second;
        takes.append(t);
        const int fps = specs[i].fps;
        stretches.push_back({specs[i].colour, int(std::lround(t.trimStart * fps)), int(std::lround(t.trimEnd * fps)) - 1});
    }
    lumacast::testing::runTask(session_exporter::exportMovie(takes, QFileInfo(paths[0]).absolutePath(), out, {},
                                                             std::move(options)));
    return stretches;
}

// Joins tails onto the first take one after the other, each at `splice` seconds of the movie so far.
std::vector<Stretch> joinTails(const QStringList &paths, const std::vector<Spec> &specs, const std::vector<double> &splices,
                               const QString &out)
{
    QString current = paths[0];
    std::vector<Stretch> stretches{{specs[0].colour, 0, int(std::lround(specs[0].seconds * specs[0].fps)) - 1}};
    for (std::size_t j = 0; j < splices.size(); ++j) {
        const QString joined = out + QStringLiteral(".%1.joining.mov").arg(j);
        lumacast::testing::runTask(take_joiner::join({current, splices[j], paths[qsizetype(j + 1)], joined}));
        // Cut the shown stretches at the splice, then the whole tail.
        int left = int(std::lround(splices[j] * 30));
        std::vector<Stretch> kept;
        for (const Stretch &s : stretches) {
            const int n = std::min(left, s.last - s.first + 1);
            if (n > 0)
                kept.push_back({s.colour, s.first, s.first + n - 1});
            left -= n;
        }
        const Spec &tail = specs[j + 1];
        kept.push_back({tail.colour, 0, int(std::lround(tail.seconds * tail.fps)) - 1});
        stretches = kept;
        current = joined;
    }
    EXPECT_TRUE(QFile::rename(current, out));
    return stretches;
}

av::VideoSettings untaggedSettings(int width, int height)
{
    av::VideoSettings s;
    s.width = width;
    s.height = height;
    s.colorPrimaries = s.transferFunction = s.yCbCrMatrix = QString();
    return s;
}

const Spec kLong{0, 4.5};
const Spec kTail1{1, 1.0}, kTail2{2, 0.8}, kTail3{3, 0.6};
// Still stretches of 0.6 to 0.9 s between moving ones, each take ending on one; the long take
// holds enough samples for a second key frame (at 5.4 s).
const Spec kHeld{0, 7.0, 30, kWidth, kHeight, false, 0, false, {{1.0, 1.6}, {2.5, 3.4}, {6.2, 7.0}}};
const Spec kHeldTail{1, 2.0, 30, kWidth, kHeight, false, 0, false, {{0.5, 1.2}, {1.6, 2.0}}};

const std::vector<Kind> &kinds()
{
    static const std::vector<Kind> list{
        {"take_with_late_sound", {{0, 1.0, 30, kWidth, kHeight, false, 0.3}},
         [](const QStringList &p, const QString &out) {
             EXPECT_TRUE(QFile::copy(p[0], out));
             return std::vector<Stretch>{{0, 0, 29}};
         }},
        {"one_join_off_key_frame", {kLong, kTail1},
         [](const QStringList &p, const QString &out) { return joinTails(p, {kLong, kTail1}, {3.05}, out); }},
        {"three_joins", {kLong, kTail1, kTail2, kTail3},
         [](const QStringList &p, const QString &out) {
             return joinTails(p, {kLong, kTail1, kTail2, kTail3}, {4.2, 3.5, 4.1}, out);
         }},
        {"passthrough_cuts_off_key_frames", {{0, 1.0}, {1, 1.0}, {2, 1.0}},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {{0, 1.0}, {1, 1.0}, {2, 1.0}}, {{0.4, 0.9}, {0.0, 1.0}, {0.3, 0.8}}, out);
         }},
        {"passthrough_across_a_key_frame", {kLong, {1, 1.0}},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {kLong, {1, 1.0}}, {{2.5, 4.3}, {0.2, 1.0}}, out);
         }},
        {"mixdown", {{0, 1.0, 30, kWidth, kHeight, true}, {1, 1.0}},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {{0, 1.0, 30, kWidth, kHeight, true}, {1, 1.0}}, {{0.2, 1.0}, {0.1, 0.7}}, out);
         }},
        {"mixed_frame_rates", {{0, 1.0, 30}, {1, 1.0, 60}},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {{0, 1.0, 30}, {1, 1.0, 60}}, {{0.1, 0.9}, {0.25, 0.75}}, out);
         }},
        {"canvas_rest_passthrough", {{0, 1.0}, {1, 1.0, 30, kWidth / 2, kHeight / 2}},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {{0, 1.0}, {1, 1.0, 30, kWidth / 2, kHeight / 2}}, {{0.3, 0.8}, {0.1, 0.6}}, out);
         }},
        // Takes written before the colour tags (other parameter sets at the same size), kept from
        // a key frame on, where they would otherwise be copied: the stretch that differs from the
        // first take is re-encoded to its format, the rest copied.
        {"older_parameter_sets_reencoded", {{0, 1.0}, {1, 1.0, 30, kWidth, kHeight, false, 0, true}},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {{0, 1.0}, {1, 1.0, 30, kWidth, kHeight, false, 0, true}}, {{0.3, 0.8}, {0.0, 0.6}},
                                out);
         }},
        // The first take is the older one: no re-encoded stretch can match it, the whole video is.
        {"older_parameter_sets_first", {{0, 1.0, 30, kWidth, kHeight, false, 0, true}, {1, 1.0}},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {{0, 1.0, 30, kWidth, kHeight, false, 0, true}, {1, 1.0}}, {{0.0, 0.8}, {0.0, 0.6}},
                                out);
         }},
        {"whole_reencode", {{0, 1.0}, {1, 1.0, 30, kWidth / 2, kHeight / 2}},
         [](const QStringList &p, const QString &out) {
             session_exporter::MovieExportOptions options;
             options.videoSettings = untaggedSettings;
             return exportTakes(p, {{0, 1.0}, {1, 1.0, 30, kWidth / 2, kHeight / 2}}, {{0.3, 0.8}, {0.1, 0.6}}, out,
                                options);
         }},
        {"held_take", {kHeld},
         [](const QStringList &p, const QString &out) {
             EXPECT_TRUE(QFile::copy(p[0], out));
             return std::vector<Stretch>{{0, 0, 209}};
         }},
        {"held_join_inside_a_hold", {kHeld, kHeldTail},
         [](const QStringList &p, const QString &out) { return joinTails(p, {kHeld, kHeldTail}, {3.0}, out); }},
        // Each cut inside a held sample; the first take's kept range crosses its second key frame.
        {"held_passthrough_cuts_inside_holds", {kHeld, kHeldTail},
         [](const QStringList &p, const QString &out) {
             return exportTakes(p, {kHeld, kHeldTail}, {{1.3, 6.5}, {0.8, 1.8}}, out);
         }},
        {"held_whole_reencode", {kHeld, kHeldTail},
         [](const QStringList &p, const QString &out) {
             session_exporter::MovieExportOptions options;
             options.videoSettings = untaggedSettings;
             return exportTakes(p, {kHeld, kHeldTail}, {{1.3, 3.0}, {0.8, 1.8}}, out, options);
         }},
        // A take of sound alone between two: its sound over one black sample.
        {"sound_only_take_over_black", {{0, 1.0}, {1, 1.0}},
         [](const QStringList &p, const QString &out) {
             const QString sound = QFileInfo(p[0]).absolutePath() + QStringLiteral("/sound.mov");
             const ProcessResult made = runProcess(QStringLiteral("ffmpeg"),
                                                   {"-v", "error", "-f", "lavfi", "-i", "sine=f=440:d=0.5", "-c:a", "aac",
                                                    "-ar", "48000", "-ac", "2", sound});
             EXPECT_TRUE(made.ok()) << made.err.toStdString();
             return exportTakes({p[0], sound, p[1]}, {{0, 1.0}, {kBlack, 0.5}, {1, 1.0}},
                                {{0.3, 1.0}, {0.0, 0.5}, {0.0, 0.7}}, out);
         }},
    };
    return list;
}

void PrintTo(const Kind &kind, std::ostream *os) { *os << kind.name; }

class PlayerLayoutTest : public ::testing::TestWithParam<Kind> {};

TEST_P(PlayerLayoutTest, EveryPlayerShowsTheSameFramesAndSound)
{
    for (const char *program : {"gst-launch-1.0", "mpv", "cvlc"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            GTEST_SKIP() << program << " is not installed (scripts/dev.sh installs it)";
    const Kind &kind = GetParam();
    lumacast::testing::TemporaryHome home;
    QTemporaryDir dir;
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("LUMACAST_KEEP_PLAYER_MOVIES"));
    QDir(dir.path()).mkpath(QStringLiteral("takes"));
    QStringList paths;
    for (const Spec &spec : kind.takes) {
        paths << dir.filePath(QStringLiteral("takes/%1.mov").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
        writeTake(paths.last(), spec);
    }
    const QString out = dir.filePath(QStringLiteral("out.mov"));
    const std::vector<Stretch> stretches = kind.make(paths, out);
    ASSERT_TRUE(QFileInfo::exists(out));

    // A black stretch is counted at the first take's rate.
    const auto fpsOf = [&](int colour) { return kind.takes[std::size_t(std::max(colour, 0))].fps; };
    std::vector<Frame> expected;
    std::vector<std::size_t> cuts;
    for (const Stretch &s : stretches) {
        if (!expected.empty())
            cuts.push_back(expected.size());
        for (int n = s.first; n <= s.last; ++n)
            expected.push_back(s.colour == kBlack ? Frame{kBlack, kBlack}
                                                  : Frame{s.colour, pictureAt(kind.takes[std::size_t(s.colour)], n)});
    }
    const bool held = std::any_of(kind.takes.begin(), kind.takes.end(), [](const Spec &s) { return !s.holds.empty(); });
    // One sample on screen for many frames: a held picture, or black.
    const bool stills =
        held || std::any_of(stretches.begin(), stretches.end(), [](const Stretch &s) { return s.colour == kBlack; });

    // A layout every player reads alike.
    const av::MovieStructure movie = av::readMovieStructure(out);
    const double seconds = double(movie.movieDuration) / movie.movieTimescale;
    for (const av::TrackStructure &track : movie.tracks) {
        EXPECT_LE(track.edits.size(), 1) << track.handlerType.toStdString();
        EXPECT_EQ(track.sampleEntries.size(), 1) << track.handlerType.toStdString();
        if (track.handlerType == "soun") {
            EXPECT_EQ(track.sampleEntries.value(0).mid(16, 2), QByteArray(2, '\0')) << "sound description version";
        }
    }

    if (held) {
        // The held takes' rate is the one the timeline exports describe them with.
        const timeline_export::MovieFacts facts = timeline_export::movieFacts(timeline_export::loadWithAsset(out));
        EXPECT_EQ(facts.fps, 60);
        EXPECT_EQ(fcpxmlFrameDuration(facts.fps), (FCPXMLFrameDuration{100, 6000}));
    }
    if (stills) {
        EXPECT_EQ(decodedFrames(out, Player::ffmpeg, -1, kind.takes[0].fps), expected) << "every frame slot";
    }
    for (const Player player : {Player::ffmpeg, Player::gstreamer, Player::mpv, Player::vlc}) {
        SCOPED_TRACE(playerName(player));
        if (stills)
            EXPECT_EQ(pictures(decodedFrames(out, player)), pictures(expected));
        else
            EXPECT_EQ(decodedFrames(out, player), expected);
        // VLC's sound is not checked: it plays the AAC priming of every such file.
        if (player != Player::vlc) {
            EXPECT_NEAR(decodedSoundSeconds(out, player), seconds, 0.021);
        }
    }
    // A seek to the frame before a cut (to where its held sample starts) shows that frame, then
    // the cut's.
    std::vector<double> starts{0};
    double at = 0;
    for (const Stretch &s : stretches)
        starts.push_back(at += double(s.last - s.first + 1) / fpsOf(s.colour));
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        std::size_t heldFrom = cuts[c] - 1;
        while (heldFrom > (c > 0 ? cuts[c - 1] : 0) && expected[heldFrom - 1] == expected[cuts[c] - 1])
            --heldFrom;
        const double before = double(cuts[c] - heldFrom) / fpsOf(stretches[c].colour);
        // Both players drop what starts before the seek time.
        for (const Player player : {Player::ffmpeg, Player::mpv}) {
            SCOPED_TRACE(playerName(player));
            const std::vector<Frame> seen = pictures(decodedFrames(out, player, starts[c + 1] - before - 0.001));
            ASSERT_GE(seen.size(), 2u) << "cut " << c;
            EXPECT_EQ(seen[0], expected[cuts[c] - 1]) << "cut " << c;
            EXPECT_EQ(seen[1], expected[cuts[c]]) << "cut " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, PlayerLayoutTest, ::testing::ValuesIn(kinds()),
                         [](const ::testing::TestParamInfo<Kind> &info) { return std::string(info.param.name); });

} // namespace
