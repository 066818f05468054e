#pragma once

#include "control/ExportHost.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace lumacast {

// The "Export" window: before a movie export it lists, scene by scene, the checked take and its
// kept length, the total running time and a warning when nothing is checked. It keeps no state
// of its own and is rebuilt from the host whenever the host announces a change of the session.
class ExportSummaryWindow : public QWidget {
    Q_OBJECT
public:
    // The window's identifier among the application's windows.
    static constexpr const char *identifier = "export";

    explicit ExportSummaryWindow(ExportHost &host, QWidget *parent = nullptr);

    // "%d:%02d" of the seconds truncated toward zero (75.9 s read "1:15", 3725 s "62:05"); a value
    // that is not a finite number of seconds reads "--:--".
    static QString durationText(double seconds);

private:
    void rebuild();
    void exportVideo();

    QPointer<ExportHost> m_host;
    QWidget *m_content = nullptr; // rebuilt on every change; sits between the title and buttons
    QVBoxLayout *m_layout = nullptr;
    QPushButton *m_exportButton = nullptr;
};

} // namespace lumacast
