#pragma once

#include "model/Error.h"
#include "platform/audio/PulseCapture.h"

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <exception>
#include <optional>
#include <utility>

namespace lumacast {

// A selectable microphone: a sound-server source that is not the monitor of an output.
struct MicOption {
    QString id;   // the source's name, stable across runs
    QString name; // its description

    bool operator==(const MicOption &) const = default;

    // The microphones connected now, in the server's order. Empty when no sound server answers.
    static QList<MicOption> availableMicrophones();
    // The same, but nothing when no sound server answers: that says nothing of what is plugged in.
    static std::optional<QList<MicOption>> listedMicrophones();
    // The description of the microphone a take records when none is chosen (the server's default
    // input, or the first microphone when the default is an output's monitor). Nothing when there
    // is none or no sound server answers.
    static std::optional<QString> defaultMicrophoneName();
    // `id` when one of `options` has exactly that id; nothing otherwise (the default input is then
    // used).
    static std::optional<QString> resolveSelectedID(const std::optional<QString> &id, const QList<MicOption> &options);
    // The microphones among a source list: monitors and unplugged sources left out.
    static QList<MicOption> fromSources(const std::vector<pulse::SourceInfo> &sources);
};

inline size_t qHash(const MicOption &option, size_t seed = 0) { return qHashMulti(seed, option.id, option.name); }

// Records one microphone for one take. Packets go to the sample callback on the recorder's sample
// queue; while no callback is set they are discarded.
class AudioRecorder {
public:
    // Domain "Lumacast.AudioRecorder.AudioError", code the case's position in `Case`.
    class AudioError : public Error {
    public:
        enum Case { noMicrophone }; // neither the requested device nor a default input exists
        explicit AudioError(Case c)
            : Error(QStringLiteral("Lumacast.AudioRecorder.AudioError"), int(c),
                    QStringLiteral("No microphone is available")),
              m_case(c)
        {
        }
        Case kind() const { return m_case; }
        bool operator==(const AudioError &other) const { return m_case == other.m_case; }

    private:
        Case m_case;
    };

    using SampleCallback = PulseCapture::SampleCallback;

    explicit AudioRecorder(SampleQueueDispatch sampleQueue);

    // Opens `deviceID`, or the default input when it is absent or unknown, and starts capturing.
    // Throws AudioError (no microphone at all) or pulse::PulseError (the server's refusal).
    void start(const std::optional<QString> &deviceID);
    // Ends the capture. Safe in every state, also before a start and after a failed one.
    void stop();
    bool isRunning() const { return m_capture.isRunning(); }

    // (sample rate in Hz, channel count) of the opened microphone; nothing before a start.
    std::optional<std::pair<double, int>> inputFormat() const { return m_capture.inputFormat(); }
    // The source actually opened.
    QString deviceID() const { return m_capture.sourceName(); }

    void setOnSample(SampleCallback callback) { m_capture.setOnSample(std::move(callback)); }
    // See PulseCapture::setOnFailure.
    void setOnFailure(std::function<void(const QString &reason)> callback)
    {
        m_capture.setOnFailure(std::move(callback));
    }

private:
    PulseCapture m_capture;
};

// Which source a microphone start opens: the requested one when it exists, else the server's
// default input unless that is a monitor, else the first microphone. Nothing when there is none.
std::optional<pulse::SourceInfo> chooseMicrophoneSource(const std::optional<QString> &deviceID,
                                                        const std::vector<pulse::SourceInfo> &sources,
                                                        const QString &defaultSourceName);

} // namespace lumacast
