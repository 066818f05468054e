#include "capture/AudioRecorder.h"

#include "model/LogCategories.h"

#include <memory>
#include <mutex>

namespace lumacast {

namespace {

bool isMicrophone(const pulse::SourceInfo &source) { return !source.isMonitor && !source.unplugged; }

// One connection for the list, made on first use and kept; made again when the server went away.
std::mutex listMutex;
std::shared_ptr<pulse::PulseConnection> listConnection;

} // namespace

QList<MicOption> MicOption::fromSources(const std::vector<pulse::SourceInfo> &sources)
{
    QList<MicOption> options;
    for (const auto &source : sources)
        if (isMicrophone(source))
            options.append(MicOption{source.name, source.description});
    return options;
}

QList<MicOption> MicOption::availableMicrophones()
{
    return listedMicrophones().value_or(QList<MicOption>());
}

std::optional<QList<MicOption>> MicOption::listedMicrophones()
{
    std::lock_guard lock(listMutex);
    try {
        if (!listConnection || !listConnection->isAlive())
            listConnection = pulse::PulseConnection::open(3000, "mic list");
        return fromSources(listConnection->sources());
    } catch (const pulse::PulseError &error) {
        listConnection.reset();
        qCWarning(lumacast::log::recorder(), "microphone list unavailable: %s", error.what());
        return std::nullopt;
    }
}

std::optional<QString> MicOption::defaultMicrophoneName()
{
    std::lock_guard lock(listMutex);
    try {
        if (!listConnection || !listConnection->isAlive())
            listConnection = pulse::PulseConnection::open(3000, "mic list");
        const auto source =
            chooseMicrophoneSource(std::nullopt, listConnection->sources(), listConnection->defaultSourceName());
        if (!source)
            return std::nullopt;
        return source->description;
    } catch (const pulse::PulseError &error) {
        listConnection.reset();
        qCWarning(lumacast::log::recorder(), "default microphone unavailable: %s", error.what());
        return std::nullopt;
    }
}

std::optional<QString> MicOption::resolveSelectedID(const std::optional<QString> &id, const QList<MicOption> &options)
{
    if (!id)
        return std::nullopt;
    for (const auto &option : options)
        if (option.id == *id)
            return id;
    return std::nullopt;
}

std::optional<pulse::SourceInfo> chooseMicrophoneSource(const std::optional<QString> &deviceID,
                                                        const std::vector<pulse::SourceInfo> &sources,
                                                        const QString &defaultSourceName)
{
    auto named = [&](const QString &name) -> const pulse::SourceInfo * {
        for (const auto &source : sources)
            if (source.name == name)
                return &source;
        return nullptr;
    };
    // An explicit choice is honoured as it stands, monitors included.
    if (deviceID)
        if (const auto *source = named(*deviceID))
            return *source;
    // Without a microphone, servers make an output's monitor the default input; recording that
    // as the microphone would put the system's sound on the voice track.
    if (const auto *source = named(defaultSourceName); source && isMicrophone(*source))
        return *source;
    for (const auto &source : sources)
        if (isMicrophone(source))
            return source;
    return std::nullopt;
}

AudioRecorder::AudioRecorder(SampleQueueDispatch sampleQueue) : m_capture(std::move(sampleQueue)) {}

void AudioRecorder::start(const std::optional<QString> &deviceID)
{
    const auto connection = m_capture.connection();
    const auto source = chooseMicrophoneSource(deviceID, connection->sources(), connection->defaultSourceName());
    if (!source)
        throw AudioError(AudioError::noMicrophone);
    m_capture.start(*source);
}

void AudioRecorder::stop() { m_capture.stop(); }

} // namespace lumacast
