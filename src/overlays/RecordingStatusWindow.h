#pragma once

#include "capture/AudioRecorder.h"
#include "capture/CameraCapture.h"
#include "capture/CaptureTarget.h"
#include "overlays/OverlayPanel.h"
#include "store/Shortcut.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <optional>
#include <vector>

class QLabel;
class QVBoxLayout;

namespace lumacast {

// Everything the status card shows, as its owner publishes it. The card keeps nothing else.
struct RecordingStatus {
    OverlayState state = OverlayState::idle;
    int sceneNumber = 1;    // the current scene's index + 1 (1 without a session)
    int nextTakeNumber = 1; // takes in the current scene + 1 (1 without a session)
    bool tailOperationLive = false;
    std::optional<QString> tailTargetLabel; // "S2T3" while a tail is live and its take is found

    // The take's timing (wall-clock); the elapsed time stands still while paused.
    std::optional<QDateTime> takeStartedAt;
    std::optional<QDateTime> pausedAt;
    double pauseAccumulated = 0; // seconds

    CaptureTarget captureTarget;
    std::optional<uint32_t> selectedDisplayID;
    bool webcamEnabled = false;
    std::optional<QString> selectedCameraID;
    QList<CameraOption> availableCameras;
    std::optional<QString> selectedMicrophoneID;
    QList<MicOption> availableMicrophones;
    // The name of the default microphone when none is selected; nothing when there is none.
    std::optional<QString> defaultMicrophoneName;
    // Whether the system audio is recorded (during a tail: whether the tail's plan has it).
    bool systemAudio = false;
    ShortcutBindings shortcutBindings; // an action without an entry shows its default
    // The actions whose key the desktop keeps for a shortcut of its own (named here), taking its
    // presses before any program: their buttons show no key, and a row says so.
    std::map<ShortcutAction, QString> keysTheDesktopKeeps;
    // A word for the user that must not take the screen (a refused open during a take).
    std::optional<QString> notice;

    // Seconds recorded at `now`, pauses left out; nothing before a take started.
    std::optional<double> elapsedRecordingTime(const QDateTime &now) const;
};

// What a button of the card asks for. The owner carries it out.
enum class StatusCommand {
    startTake,          // idle, starting
    nextScene,          // idle, starting
    pause,              // recording
    endTake,            // recording, paused
    endTakeAndNextScene, // recording without a tail
    resume,             // paused
    approveAndNewTake,  // reviewing
    approveAndNewScene, // reviewing
    retake,             // reviewing
};

// One button: its command, title and the display string of the shortcut that does the same
// (empty where that key does nothing: the desktop keeps it).
struct StatusAction {
    StatusCommand command;
    QString label;
    QString keys;
    ShortcutAction shortcut;
};

// The symbol of the notice row, the one row shown whole (wrapped) rather than cut.
inline constexpr const char *kNoticeSymbol = "exclamationmark.circle";

// One detail row: an icon (named as in the common symbol sets) and its text.
struct StatusDetailRow {
    QString symbol;
    QString text;
    friend bool operator==(const StatusDetailRow &, const StatusDetailRow &) = default;
};

// The card's contents, derived from a status at a moment.
namespace status_card {
QString headerTitle(const RecordingStatus &status);
// "m:ss" with the minutes unbounded; negative counts as 0.
QString elapsedText(double seconds);
std::vector<StatusDetailRow> detailRows(const RecordingStatus &status);
std::vector<StatusAction> actions(const RecordingStatus &status);
QString buttonText(const StatusAction &action);
} // namespace status_card

// The card's panel: a dark rounded card 240 pixels wide that the user may drag by its background.
class RecordingStatusView final : public OverlayPanel {
    Q_OBJECT
public:
    static constexpr int kWidth = 240;

    explicit RecordingStatusView(QWidget *parent = nullptr);

    // Rebuilds the card for the status at the clock's time.
    void render(const RecordingStatus &status, const QDateTime &now);

    QString title() const;
    QString elapsed() const; // empty while hidden
    std::vector<StatusDetailRow> rows() const { return m_rows; }
    std::vector<StatusAction> buttons() const { return m_actions; }
    // Clicks the button with that label, as the user would (false when there is none).
    bool clickButton(const QString &label);

signals:
    void commandRequested(StatusCommand command);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QWidget *m_header = nullptr;
    QLabel *m_dot = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_elapsed = nullptr;
    QWidget *m_rowsBox = nullptr;
    QWidget *m_buttonsBox = nullptr;
    std::vector<StatusDetailRow> m_rows;
    std::vector<StatusAction> m_actions;
};

// The floating status card at the top centre of the main screen while a take or a tail is
// recorded: the state, what is recorded, the elapsed time and the buttons of the state. It is
// left out of whole-screen captures with the rest of this application's windows (but not the
// webcam overlay). One instance lives as long as its owner; main thread only.
class RecordingStatusWindow final : public QObject {
    Q_OBJECT
public:
    static constexpr int kTopMargin = 12;
    static constexpr int kRefreshMs = 1000;

    explicit RecordingStatusWindow(QObject *parent = nullptr);
    ~RecordingStatusWindow() override;

    // Builds and shows the card, centred 12 pixels below the top of the main screen's available
    // area. Does nothing while shown.
    void show();
    // Removes the card (and where the user dragged it); harmless when nothing is shown.
    void hide();
    // The card follows the latest status at once and its clock every second.
    void setStatus(RecordingStatus status);
    const RecordingStatus &status() const { return m_status; }

    bool isShown() const { return m_panel != nullptr; }
    RecordingStatusView *view() const { return m_panel; }
    std::optional<quint32> windowID() const;

    // The clock the elapsed time is read from (tests); the wall clock by default.
    void setClock(std::function<QDateTime()> clock);

signals:
    void commandRequested(StatusCommand command);

private:
    void refresh();

    RecordingStatus m_status;
    QPointer<RecordingStatusView> m_panel;
    QTimer m_timer;
    std::function<QDateTime()> m_clock;
};

} // namespace lumacast
