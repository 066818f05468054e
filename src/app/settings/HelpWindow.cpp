#include "app/settings/HelpWindow.h"

#include "app/settings/ScrollingPage.h"
#include "store/Shortcut.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace lumacast {

namespace {

constexpr int kWidth = 470;
constexpr int kHeight = 580;
constexpr int kKeysColumnWidth = 130;

QLabel *keyCap(const QString &text, QWidget *parent)
{
    auto *cap = new QLabel(text, parent);
    cap->setObjectName(QStringLiteral("keyCap"));
    cap->setAlignment(Qt::AlignCenter);
    QFont font = cap->font();
    font.setWeight(QFont::DemiBold);
    cap->setFont(font);
    // 22 wide at least, plus 8 either side: the padding is part of the cap.
    cap->setMinimumWidth(22 + 16);
    QColor fill = cap->palette().color(QPalette::WindowText);
    fill.setAlphaF(0.15f);
    cap->setStyleSheet(QStringLiteral("QLabel#keyCap { background: %1; border-radius: 6px; padding: 3px 8px; }")
                           .arg(fill.name(QColor::HexArgb)));
    return cap;
}

QWidget *shortcutLine(const HelpWindow::Line &line, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(14);

    auto *keys = new QWidget(row);
    keys->setFixedWidth(kKeysColumnWidth);
    auto *keysLayout = new QHBoxLayout(keys);
    keysLayout->setContentsMargins(0, 0, 0, 0);
    keysLayout->setSpacing(4);
    for (const QString &key : line.keys)
        keysLayout->addWidget(keyCap(key, keys), 0, Qt::AlignVCenter);
    keysLayout->addStretch(1);
    layout->addWidget(keys);

    auto *description = new QLabel(line.description, row);
    description->setWordWrap(true);
    layout->addWidget(description, 1);
    return row;
}

QLabel *secondary(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, pal.color(QPalette::PlaceholderText));
    label->setPalette(pal);
    return label;
}

// Key caps named as the bindings name keys elsewhere.
QString altCap() { return ShortcutBinding::shortcutText(carbon_modifier::option, {}); }
QString returnCap() { return ShortcutBinding::keyName(key_code::returnKey); }
QString escapeCap() { return ShortcutBinding::keyName(key_code::escape); }

} // namespace

const std::vector<HelpWindow::Section> &HelpWindow::sections()
{
    static const std::vector<Section> all = {
        {QStringLiteral("Navigate"),
         {
             {{QStringLiteral("↑"), QStringLiteral("↓")}, QStringLiteral("Move between scenes and takes")},
             {{altCap(), QStringLiteral("↑"), QStringLiteral("↓")}, QStringLiteral("Jump between checked takes")},
             {{returnCap()}, QStringLiteral("Rename the focused scene or take")},
             {{escapeCap()}, QStringLiteral("Cancel renaming")},
         }},
        {QStringLiteral("Play"),
         {
             {{QStringLiteral("Space")}, QStringLiteral("Play or pause the selected take")},
         }},
        {QStringLiteral("Trim"),
         {
             {{QStringLiteral("[")}, QStringLiteral("Select/deselect the trim-in handle")},
             {{QStringLiteral("]")}, QStringLiteral("Select/deselect the trim-out handle")},
             {{returnCap(), escapeCap()}, QStringLiteral("Deselect the selected trim handle")},
             {{QStringLiteral("Space")}, QStringLiteral("Snap the selected handle to the playhead")},
             {{QStringLiteral("←"), QStringLiteral("→")},
              QStringLiteral("Nudge the playhead or selected trim handle by one frame (1/30s)")},
             {{altCap(), QStringLiteral("←"), QStringLiteral("→")}, QStringLiteral("Nudge by 1s")},
         }},
    };
    return all;
}

HelpWindow::HelpWindow(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Keyboard Shortcuts"));
    setFixedSize(kWidth, kHeight);

    QVBoxLayout *page = addScrollingPage(this, 28, 22);
    QWidget *content = page->parentWidget();

    auto *header = new QVBoxLayout;
    header->setSpacing(4);
    auto *title = new QLabel(QStringLiteral("Keyboard Shortcuts"), content);
    QFont large = title->font();
    large.setPointSizeF(large.pointSizeF() * 2.0);
    large.setBold(true);
    title->setFont(large);
    header->addWidget(title);
    header->addWidget(secondary(QStringLiteral("Navigate, play, and trim in the main Lumacast window."), content));
    page->addLayout(header);

    for (const Section &section : sections()) {
        auto *column = new QVBoxLayout;
        column->setSpacing(10);
        auto *sectionTitle = new QLabel(section.title, content);
        QFont headline = sectionTitle->font();
        headline.setBold(true);
        sectionTitle->setFont(headline);
        column->addWidget(sectionTitle);
        for (const Line &line : section.lines)
            column->addWidget(shortcutLine(line, content));
        page->addLayout(column);
    }

    auto *divider = new QFrame(content);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    page->addWidget(divider);

    QLabel *footer = secondary(
        QStringLiteral("Recording shortcuts — Start, Pause/Resume, End Take, Retake, Next Scene — work globally "
                       "(even while presenting) and are customizable in Settings → Keyboard Shortcuts."),
        content);
    QFont callout = footer->font();
    callout.setPointSizeF(callout.pointSizeF() * 0.95);
    footer->setFont(callout);
    page->addWidget(footer);
    page->addStretch(1);
}

} // namespace lumacast
