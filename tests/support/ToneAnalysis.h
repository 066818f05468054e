#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace lumacast::testing {

// Amplitude of the component at `frequency` in a mono signal (Goertzel): a full-length sine of
// amplitude A reads as about A.
inline double toneAmplitude(const std::vector<float> &mono, int sampleRate, double frequency)
{
    if (mono.empty() || sampleRate <= 0)
        return 0;
    const double w = 2 * std::numbers::pi * frequency / sampleRate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (float x : mono) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / double(mono.size());
}

// The strongest frequency between `low` and `high` Hz in steps of `step`.
inline double dominantFrequency(const std::vector<float> &mono, int sampleRate, double low = 100,
                                double high = 2000, double step = 5)
{
    double best = low, bestAmplitude = -1;
    for (double f = low; f <= high; f += step) {
        const double a = toneAmplitude(mono, sampleRate, f);
        if (a > bestAmplitude) {
            bestAmplitude = a;
            best = f;
        }
    }
    return best;
}

inline double rms(const std::vector<float> &mono)
{
    if (mono.empty())
        return 0;
    double sum = 0;
    for (float x : mono)
        sum += double(x) * x;
    return std::sqrt(sum / double(mono.size()));
}

// The loudest stretch of `length` samples (searched in steps of a tenth of it): the capture's
// first second or so may be silent.
inline std::vector<float> loudestStretch(const std::vector<float> &mono, std::size_t length)
{
    if (mono.size() <= length)
        return mono;
    std::size_t bestStart = 0;
    double best = -1;
    const std::size_t step = std::max<std::size_t>(1, length / 10);
    for (std::size_t start = 0; start + length <= mono.size(); start += step) {
        const double level = rms(std::vector<float>(mono.begin() + long(start), mono.begin() + long(start + length)));
        if (level > best) {
            best = level;
            bestStart = start;
        }
    }
    return std::vector<float>(mono.begin() + long(bestStart), mono.begin() + long(bestStart + length));
}

// Plays a sine into a PulseAudio sink for `seconds`, in real time, until the object goes away.
class TonePlayer {
public:
    TonePlayer(const QString &sink, int frequency, double seconds)
    {
        m_process.setProgram(QStringLiteral("ffmpeg"));
        m_process.setArguments({QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                                QStringLiteral("-re"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                                QStringLiteral("-i"),
                                QStringLiteral("sine=frequency=%1:duration=%2:sample_rate=48000").arg(frequency).arg(seconds),
                                QStringLiteral("-f"), QStringLiteral("pulse"), QStringLiteral("-device"), sink,
                                QStringLiteral("lumacast-test-tone")});
        m_process.start();
        m_process.waitForStarted(10000);
    }
    ~TonePlayer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool started() const { return m_process.state() != QProcess::NotRunning || m_process.exitCode() == 0; }

private:
    QProcess m_process;
};

} // namespace lumacast::testing
