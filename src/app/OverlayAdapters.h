#pragma once

#include "control/OverlayServices.h"
#include "store/GlobalKeyboardShortcuts.h"

#include <QObject>
#include <QPointer>

#include <memory>

namespace lumacast {

class AppStateManager;
class CountdownOverlay;
class HotKeyBackend;
class Preferences;
class RecordingBorderWindow;
class RecordingStatusWindow;
class ShellCommands;
enum class StatusCommand;
class WebcamOverlayWindow;

// The four recording overlays behind the state manager's overlay seams. The overlays never see
// the manager: these adapters read what they show from it (given with `attach` once the manager
// exists) and carry their commands back. Main thread only; each adapter owns its overlay.

class CountdownAdapter final : public CountdownService {
public:
    // `hotKeys` may be null (no X server): Escape then works only while we have the keyboard.
    explicit CountdownAdapter(std::shared_ptr<HotKeyBackend> hotKeys);
    ~CountdownAdapter() override;
    QCoro::Task<bool> run(int count, std::optional<uint32_t> displayID) override;
    void watchForCancel(std::function<void()> onCancel) override;
    void stopWatchingForCancel() override;
    void cancel() override;

private:
    std::unique_ptr<CountdownOverlay> m_overlay;
};

class BorderAdapter final : public QObject, public BorderService {
    Q_OBJECT
public:
    BorderAdapter();
    ~BorderAdapter() override;
    // The border follows the manager's state colour, display and capture target.
    void attach(AppStateManager &manager);
    void show() override;
    void hide() override;

private:
    std::unique_ptr<RecordingBorderWindow> m_window;
    QPointer<AppStateManager> m_manager;
};

class StatusPanelAdapter final : public QObject, public StatusPanelService {
    Q_OBJECT
public:
    // `desktopKeys` (may be empty) tells the keys the desktop keeps for itself.
    explicit StatusPanelAdapter(DesktopKeyHolder desktopKeys = {});
    ~StatusPanelAdapter() override;
    // The card shows the manager's state; its buttons call `commands`, which must outlive it.
    void attach(AppStateManager &manager, ShellCommands &commands);
    void show() override;
    void hide() override;

    RecordingStatusWindow &window() const { return *m_window; }

private:
    void refresh();
    // Asks the sound server once, not on every refresh of the card.
    void readDefaultMicrophone();
    static void runStatusCommand(ShellCommands &commands, StatusCommand command);

    std::unique_ptr<RecordingStatusWindow> m_window;
    QPointer<AppStateManager> m_manager;
    std::optional<QString> m_defaultMicrophoneName;
    DesktopKeyHolder m_desktopKeys;
};

class WebcamOverlayAdapter final : public WebcamOverlayService {
public:
    explicit WebcamOverlayAdapter(Preferences *preferences);
    ~WebcamOverlayAdapter() override;

    bool isInteractive() const override;
    void setInteractive(bool interactive) override;
    // A feed that is not a camera capture (none in the shipped program) shows no picture.
    void show(CameraFeed &feed, std::optional<uint32_t> displayID) override;
    bool hasPanel() const override;
    void orderOut() override;
    void releasePanel() override;
    std::optional<uint32_t> windowNumber() const override;
    void toggleMode() override;
    BlobShape shape() const override;
    void setShape(BlobShape shape) override;

private:
    std::unique_ptr<WebcamOverlayWindow> m_window;
};

} // namespace lumacast
