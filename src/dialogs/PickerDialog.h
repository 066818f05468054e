#pragma once

#include "capture/CaptureTargetPicker.h"
#include "platform/x11/X11Content.h"
#include "store/InteractionGate.h"

#include <QDialog>

#include <optional>
#include <vector>

class QDialogButtonBox;
class QListWidget;

namespace lumacast {

// The window picker: the shareable windows of other applications, each with its title, its
// application and a small picture of its contents.
class PickerDialog : public QDialog {
    Q_OBJECT
public:
    explicit PickerDialog(QWidget *parent = nullptr);

    // Fills the list; throws x11::X11Error when the window list cannot be read (the X display is
    // unreachable), leaving the list empty.
    void reload();
    const std::vector<x11::WindowInfo> &windows() const { return m_windows; }
    std::optional<x11::WindowInfo> selectedWindow() const;
    void selectWindow(uint32_t id);

    static constexpr QSize kThumbnailSize{160, 100};

private:
    QListWidget *m_list;
    QDialogButtonBox *m_buttons;
    std::vector<x11::WindowInfo> m_windows;
};

// The shared sharing picker on this platform: presents a PickerDialog and reports its outcome.
// The dialog holds the shared interaction gate from its presenting to its outcome (or until the
// picker is made inactive), minimized or not.
class WindowSharingPicker : public QObject, public SharingPicker {
    Q_OBJECT
public:
    WindowSharingPicker() = default;
    ~WindowSharingPicker() override;

    // The dialog lists windows and returns one: the single-window mode and the one stream the
    // caller asks for are all it can do, so neither setting is kept.
    void setConfiguration(const SharingPickerConfiguration &) override {}
    void setMaximumStreamCount(int) override {}
    void addObserver(SharingPickerObserver *observer) override;
    void removeObserver(SharingPickerObserver *observer) override;
    void setActive(bool active) override;
    bool isActive() const override { return m_active; }
    void present() override;

    // Makes one process-wide instance the picker that SharingPicker::shared() returns.
    static void installAsShared();

    PickerDialog *dialog() const { return m_dialog; }
    const std::vector<SharingPickerObserver *> &observers() const { return m_observers; }

private:
    template <class F> void notify(F &&f);

    bool m_active = false;
    std::vector<SharingPickerObserver *> m_observers;
    PickerDialog *m_dialog = nullptr;
    InteractionGate::Hold m_asking;
};

} // namespace lumacast
