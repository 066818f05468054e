// export-bench [--takes N] [--seconds S] [--keep DIR]
//
// Records a session of N takes of S seconds at 1920x1080 through the take encoder (with moving
// pictures and a tone, so that encoding is real work), then exports it twice with the real
// exporter (through the lumacast-media driver, in a child process of its own): once with every
// take at one size (passthrough) and once with one take at 1280x720 (the canvas path). Beside
// each, the ffmpeg command line does the same work: concat with stream copy for the
// passthrough; scale, pad and concat with libx264 at the take writer's preset for the canvas
// path. Wall time and peak memory (maximum resident set) of each child are printed with their
// ratios; the goal is a ratio at or below 1.
#include "capture/TakeWriter.h"
#include "model/SessionManifest.h"
#include "platform/av/TakeEncoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUuid>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

using namespace lumacast;

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Moving gradient and a bright square: enough change for real encoding.
void paint(std::vector<uint8_t> &pixels, int width, int height, int index)
{
    for (int y = 0; y < height; ++y) {
        uint8_t *row = &pixels[size_t(y) * width * 4];
        for (int x = 0; x < width; ++x) {
            row[x * 4 + 0] = uint8_t((x + index * 3) & 255);
            row[x * 4 + 1] = uint8_t((y + index) & 255);
            row[x * 4 + 2] = uint8_t((x + y) / 8 & 255);
            row[x * 4 + 3] = 255;
        }
    }
    const int side = height / 5;
    const int sx = (index * 11) % std::max(1, width - side), sy = (index * 5) % std::max(1, height - side);
    for (int y = sy; y < sy + side; ++y)
        std::fill_n(&pixels[(size_t(y) * width + sx) * 4], size_t(side) * 4, uint8_t(240));
}

bool recordTake(const QString &path, int width, int height, double seconds)
{
    av::TakeEncoder encoder(path);
    const int v = encoder.addVideoTrack(TakeWriter::videoSettings(width, height));
    av::AudioSettings mic;
    mic.sampleRate = 48000;
    mic.channels = 2;
    mic.bitRate = 128000;
    const int m = encoder.addAudioTrack(mic);
    if (!encoder.startWriting())
        return false;
    const int fps = 30;
    encoder.startSession(0, fps);
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    std::vector<float> tone;
    std::int64_t samples = 0;
    const int frames = int(std::lround(seconds * fps));
    for (int i = 0; i < frames; ++i) {
        paint(pixels, width, height, i);
        while (!encoder.isReadyForMoreMediaData(v))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        encoder.appendVideo(v, pixels.data(), width, height, width * 4, i, fps);
        const std::int64_t until = std::int64_t(i + 1) * 48000 / fps;
        tone.resize(size_t(until - samples) * 2);
        for (std::int64_t k = 0; k < until - samples; ++k)
            tone[size_t(k * 2)] = tone[size_t(k * 2 + 1)] = 0.2f * float(std::sin(2 * M_PI * 440 * double(samples + k) / 48000));
        while (!encoder.isReadyForMoreMediaData(m))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        encoder.appendAudio(m, tone.data(), int(until - samples), av::TakeEncoder::SampleFormat::float32, 48000, 2,
                            samples, 48000);
        samples = until;
    }
    encoder.finishWriting();
    return encoder.status() == av::TakeEncoder::Status::completed;
}

struct Measured {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
};

// Runs a program as a child and measures its wall time and peak resident memory.
Measured measure(const QString &program, const QStringList &args)
{
    std::vector<QByteArray> storage{program.toLocal8Bit()};
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Measured m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakMiB = double(usage.ru_maxrss) / 1024.0;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

void writeSession(const QString &folder, const QStringList &files, double seconds)
{
    SessionManifest manifest;
    manifest.sessionID = QUuid::createUuid();
    manifest.createdAt = QDateTime::currentDateTimeUtc();
    for (const QString &file : files) {
        SessionManifest::TakeManifest take;
        take.id = QUuid::createUuid();
        take.filename = file;
        take.duration = seconds;
        take.recordedAt = manifest.createdAt;
        SessionManifest::SceneManifest scene;
        scene.id = QUuid::createUuid();
        scene.takes.append(take);
        scene.selectedTakeID = take.id;
        manifest.scenes.append(scene);
    }
    QFile file(QDir(folder).filePath(QStringLiteral("manifest.json")));
    file.open(QIODevice::WriteOnly);
    file.write(manifest.toJson());
}

void report(const QString &label, const Measured &ours, const Measured &ffmpeg)
{
    out() << label << ": lumacast " << QString::number(ours.seconds, 'f', 2) << " s, "
          << QString::number(ours.peakMiB, 'f', 0) << " MiB" << (ours.ok ? "" : " (FAILED)") << "; ffmpeg "
          << QString::number(ffmpeg.seconds, 'f', 2) << " s, " << QString::number(ffmpeg.peakMiB, 'f', 0) << " MiB"
          << (ffmpeg.ok ? "" : " (FAILED)") << "; ratio time " << QString::number(ours.seconds / ffmpeg.seconds, 'f', 2)
          << ", memory " << QString::number(ours.peakMiB / ffmpeg.peakMiB, 'f', 2) << Qt::endl;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int takes = 20;
    double seconds = 30;
    QString keep;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--takes"))
            takes = std::max(2, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--seconds"))
            seconds = std::max(1.0, args[i + 1].toDouble());
        else if (args[i] == QLatin1String("--keep"))
            keep = args[i + 1];
    }
    QTemporaryDir temporary;
    const QString root = keep.isEmpty() ? temporary.path() : keep;
    const QString same = QDir(root).filePath(QStringLiteral("same")), mixed = QDir(root).filePath(QStringLiteral("mixed"));
    QDir().mkpath(same + QStringLiteral("/takes"));
    QDir().mkpath(mixed + QStringLiteral("/takes"));

    out() << "recording " << takes << " takes of " << seconds << " s at 1920x1080…" << Qt::endl;
    QStringList files;
    for (int i = 0; i < takes; ++i) {
        const QString name = QStringLiteral("take%1.mov").arg(i, 2, 10, QLatin1Char('0'));
        const QString path = QDir(same).filePath(QStringLiteral("takes/") + name);
        if (!QFile::exists(path) && !recordTake(path, 1920, 1080, seconds)) {
            out() << "could not record " << path << Qt::endl;
            return 1;
        }
        files << name;
        // The mixed session shares the recorded takes but one, recorded at 1280x720.
        // A symbolic link is a refused take (it could lead anywhere): a hard link, else a copy. A
        // link left by an older run of this bench in a kept folder is replaced.
        const QString mixedPath = QDir(mixed).filePath(QStringLiteral("takes/") + name);
        if (QFileInfo(mixedPath).isSymLink())
            QFile::remove(mixedPath);
        if (!QFile::exists(mixedPath)) {
            const bool made = i == takes / 2 ? recordTake(mixedPath, 1280, 720, seconds)
                                             : ::link(QFile::encodeName(path).constData(),
                                                      QFile::encodeName(mixedPath).constData()) == 0
                    || QFile::copy(path, mixedPath);
            if (!made) {
                out() << "could not make " << mixedPath << Qt::endl;
                return 1;
            }
        }
    }
    writeSession(same, files, seconds);
    writeSession(mixed, files, seconds);

    const QString driver = QStringLiteral(LUMACAST_MEDIA_DRIVER);
    bool failed = false;
    for (const auto &[label, folder] : {std::pair{QStringLiteral("passthrough"), same}, std::pair{QStringLiteral("canvas"), mixed}}) {
        const QString ours = QDir(root).filePath(label + QStringLiteral("-lumacast.mov"));
        const QString theirs = QDir(root).filePath(label + QStringLiteral("-ffmpeg.mov"));
        QFile::remove(ours);
        QFile::remove(theirs);
        const Measured a = measure(driver, {QStringLiteral("export-movie"), folder, ours});
        QStringList ff{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y")};
        if (label == QLatin1String("passthrough")) {
            const QString list = QDir(root).filePath(QStringLiteral("concat.txt"));
            QFile file(list);
            file.open(QIODevice::WriteOnly);
            for (const QString &name : files)
                file.write(QStringLiteral("file '%1'\n").arg(QDir(folder).filePath(QStringLiteral("takes/") + name)).toUtf8());
            file.close();
            ff << "-f" << "concat" << "-safe" << "0" << "-i" << list << "-c" << "copy" << theirs;
        } else {
            QString graph, inputs;
            for (int i = 0; i < files.size(); ++i) {
                ff << "-i" << QDir(folder).filePath(QStringLiteral("takes/") + files[i]);
                graph += QStringLiteral("[%1:v]scale=1920:1080:force_original_aspect_ratio=decrease,"
                                        "pad=1920:1080:(ow-iw)/2:(oh-ih)/2,setsar=1[v%1];").arg(i);
                inputs += QStringLiteral("[v%1][%1:a]").arg(i);
            }
            graph += inputs + QStringLiteral("concat=n=%1:v=1:a=1[v][a]").arg(files.size());
            const av::VideoSettings v = TakeWriter::videoSettings(1920, 1080);
            ff << "-filter_complex" << graph << "-map" << "[v]" << "-map" << "[a]" << "-c:v" << "libx264" << "-preset"
               << v.preset << "-qp" << QString::number(v.quantizer);
            if (!v.tune.isEmpty())
                ff << "-tune" << v.tune;
            ff << "-c:a" << "aac" << "-b:a" << "192k" << theirs;
        }
        const Measured b = measure(QStringLiteral("ffmpeg"), ff);
        report(label, a, b);
        failed = failed || !a.ok || !b.ok;
    }
    // A figure of a failed export measures nothing.
    return failed ? 1 : 0;
}
