#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

namespace lumacast {

// The "Keyboard Shortcuts" help window: a fixed, scrolling page listing the review window's
// keys and pointing to the settings for the global recording shortcuts. It reads no application
// state. Main thread only.
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    // The window's identifier among the application's windows.
    static constexpr const char *identifier = "help";

    explicit HelpWindow(QWidget *parent = nullptr);

    struct Line {
        QStringList keys; // key caps, left to right
        QString description;
    };
    struct Section {
        QString title;
        std::vector<Line> lines;
    };
    // The page's sections, in order.
    static const std::vector<Section> &sections();
};

} // namespace lumacast
