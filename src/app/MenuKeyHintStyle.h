#pragma once

#include <QKeySequence>
#include <QProxyStyle>

namespace lumacast {

// Writes the shortcut column of every menu the way the rest of the application shows bindings
// ("Shift+Super+Return", "Ctrl+Q") instead of Qt's own words ("Meta+Shift+Return"). Only the
// drawing changes: the actions keep their titles and shortcuts, so accessibility and the D-Bus
// menus of a StatusNotifierItem tray still get the title and the key sequence apart.
class MenuKeyHintStyle final : public QProxyStyle {
public:
    // Wraps the application's current style; call once, after the QApplication exists.
    static void install();

    // A menu item's text as QMenu hands it to the style ("title\tshortcut"), with the shortcut
    // rewritten; a text without a shortcut comes back unchanged. The key comes from the item's
    // action in `menu` where one has the title: Qt writes some keys (the dead keys) in words it
    // cannot read back.
    static QString shownText(const QString &menuItemText, const QWidget *menu = nullptr);
    // A key sequence in the application's one format; empty for an empty sequence.
    static QString keyHintText(const QKeySequence &key);

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget = nullptr) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                           const QWidget *widget = nullptr) const override;

private:
    using QProxyStyle::QProxyStyle;
};

} // namespace lumacast
