#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QVBoxLayout;

namespace lumacast {

class AppKitSlider;
class Preferences;
class SettingsHost;
class ShortcutRow;

// The "Settings" window: one scrolling page of four boxes, "General", "Audio", "Video" and
// "Keyboard Shortcuts". Every control shows a setting of the host and writes it back through the
// host; the reopen flag and the system-audio level are also written to the preferences here.
// The window keeps no state of its own: it follows the host's `settingsChanged`, and asks the
// host to refresh its display list each time it is shown.
//
// Main thread only. The host and the preferences outlive the window (the application's state
// manager and the shared preferences).
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    // The window's identifier among the application's windows.
    static constexpr const char *identifier = "settings";

    SettingsWindow(SettingsHost &host, Preferences &preferences, QWidget *parent = nullptr);
    explicit SettingsWindow(SettingsHost &host, QWidget *parent = nullptr);

    // The level a slider move stores: within 0.025 of the recommended 0.3 it is exactly 0.3.
    static double snappedLevel(double level);
    // The level in whole percent, halves away from zero, and "%": 0.125 reads "13%".
    static QString levelText(double level);
    // "Version: " and the application's version, "?" when it has none.
    static QString versionText(const QString &applicationVersion);

    // A line under the shortcuts about how this desktop delivers them (in a Wayland session: what
    // the desktop bound, or that the keys work only while a Lumacast window has the keyboard, and
    // the keys the desktop keeps for its own shortcuts).
    // Main thread; shown at once by the windows already built and by those built afterwards.
    static void setShortcutsNote(const QString &note);
    static QString shortcutsNote();

    static constexpr double recommendedLevel = 0.3;

protected:
    void showEvent(QShowEvent *event) override;

private:
    QGroupBox *addBox(QVBoxLayout *page, const QString &title, QVBoxLayout **content);
    void buildGeneral(QVBoxLayout *page);
    void buildAudio(QVBoxLayout *page);
    void buildVideo(QVBoxLayout *page);
    void buildShortcuts(QVBoxLayout *page);
    void buildShortcutsNote(QVBoxLayout *page);
    void refresh();
    void levelMoved(double level);
    void restoreDefaultShortcuts();
    // The note labels of the windows alive now (the ones destroyed are dropped on each call).
    static std::vector<QPointer<QLabel>> &shownShortcutsNotes();

    QPointer<SettingsHost> m_host;
    Preferences &m_preferences;

    QCheckBox *m_autoCheck = nullptr;
    QCheckBox *m_reopen = nullptr;
    QWidget *m_microphoneRow = nullptr;
    QComboBox *m_microphone = nullptr;
    QCheckBox *m_systemAudio = nullptr;
    AppKitSlider *m_level = nullptr;
    QLabel *m_levelText = nullptr;
    QCheckBox *m_hideCursor = nullptr;
    QDoubleSpinBox *m_delay = nullptr;
    QWidget *m_displayRow = nullptr;
    QComboBox *m_display = nullptr;
};

} // namespace lumacast
