// The status card's adapter on a state manager built on doubles: what the card is told, and
// where its buttons go.
#include "FakeShellCommands.h"
#include "StateManagerDoubles.h"

#include "app/OverlayAdapters.h"
#include "overlays/RecordingStatusWindow.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

QString rowText(const RecordingStatus &status, const QString &symbol)
{
    for (const StatusDetailRow &row : status_card::detailRows(status)) {
        if (row.symbol == symbol)
            return row.text;
    }
    return QStringLiteral("(none)");
}

TEST(StatusPanelAdapterTest, TheCardShowsTheDevicesATakeOrTailRecords)
{
    struct Row {
        const char *name;
        std::optional<QString> chosenMicrophone;
        bool systemAudioSetting;
        std::optional<bool> tailHasSystemAudio; // absent: no tail
        QString microphoneRow;
        bool systemAudioRow;
    };
    const Row rows[] = {
        {"no microphone chosen: the default device by name", std::nullopt, false, std::nullopt, "USB Headset", false},
        {"a chosen microphone", "mic-2", true, std::nullopt, "Desk Mic", true},
        {"tail of a take with system audio, setting off", std::nullopt, false, true, "USB Headset", true},
        {"tail of a take without system audio, setting on", std::nullopt, true, false, "USB Headset", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ManagerHarness h;
        const Session session = h.adoptSessionWithTakes({1});
        h.devices->defaultMicrophone = QStringLiteral("USB Headset");
        FakeShellCommands commands;
        StatusPanelAdapter adapter;
        adapter.attach(h.m(), commands);

        h.m().setAvailableMicrophones({MicOption{"mic-1", "USB Headset"}, MicOption{"mic-2", "Desk Mic"}});
        h.m().setSelectedMicrophoneIDValue(row.chosenMicrophone);
        h.m().setCaptureSystemAudioValue(row.systemAudioSetting);
        if (row.tailHasSystemAudio) {
            TailOperation tail;
            tail.sceneID = session.scenes[0].id;
            tail.targetTakeID = session.scenes[0].takes[0].id;
            tail.capturePlan = AudioEncodingPlan{};
            if (*row.tailHasSystemAudio)
                tail.capturePlan->system = AudioTrackEncodingPlan{};
            h.m().setTailOperation(tail);
        }
        const RecordingStatus &status = adapter.window().status();
        EXPECT_EQ(rowText(status, "mic.fill"), row.microphoneRow);
        // A default device plugged in later shows once the card is next put up.
        h.devices->defaultMicrophone = QStringLiteral("Webcam Mic");
        adapter.show();
        EXPECT_EQ(rowText(status, "mic.fill"), row.chosenMicrophone ? row.microphoneRow : QStringLiteral("Webcam Mic"));
        adapter.hide();
        EXPECT_EQ(rowText(status, "speaker.wave.2.fill") == "System audio", row.systemAudioRow);
    }
}

TEST(StatusPanelAdapterTest, EachButtonCallsTheOperationsOfItsState)
{
    const std::pair<StatusCommand, QStringList> rows[] = {
        {StatusCommand::startTake, {"startRecording"}},
        {StatusCommand::nextScene, {"advanceToScene"}},
        {StatusCommand::pause, {"pauseRecording"}},
        {StatusCommand::endTake, {"endTake"}},
        {StatusCommand::endTakeAndNextScene, {"endTakeAndNextScene"}},
        {StatusCommand::resume, {"resumeRecording"}},
        {StatusCommand::approveAndNewTake, {"autoApprove", "startRecording"}},
        {StatusCommand::approveAndNewScene, {"autoApprove", "advanceToScene", "startRecording"}},
        {StatusCommand::retake, {"retake"}},
    };
    ManagerHarness h;
    FakeShellCommands commands;
    StatusPanelAdapter adapter;
    adapter.attach(h.m(), commands);
    for (const auto &[command, expected] : rows) {
        SCOPED_TRACE(int(command));
        commands.calls.clear();
        emit adapter.window().commandRequested(command);
        QCoreApplication::processEvents();
        EXPECT_EQ(commands.calls, expected);
    }
}

} // namespace
} // namespace lumacast::testing
