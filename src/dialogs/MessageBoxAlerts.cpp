#include "dialogs/MessageBoxAlerts.h"

#include "dialogs/FrontWindow.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace lumacast {

namespace {
bool g_displayLost = false; // main thread only

// Swallows the withheld chords on their way to the alert or any widget in it, while it lives.
class WithheldKeyFilter final : public QObject {
public:
    WithheldKeyFilter(QWidget *alert, const QList<QKeyCombination> &withheld)
        : m_alert(alert)
        , m_withheld(withheld)
    {
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride)
            return false;
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || !m_alert || (widget != m_alert && !m_alert->isAncestorOf(widget)))
            return false;
        return MessageBoxAlerts::isChord(*static_cast<QKeyEvent *>(event), m_withheld);
    }

private:
    QPointer<QWidget> m_alert;
    QList<QKeyCombination> m_withheld;
};

} // namespace

QList<QKeyCombination> MessageBoxAlerts::chords(const ShortcutBindings &bindings)
{
    QList<QKeyCombination> chords;
    for (const auto &[action, binding] : bindings) {
        // The key the hot key grabs in the current layout, as Qt reports it.
        if (binding.menuKeyEquivalent() != Qt::Key_unknown)
            chords << ShortcutBinding::firingKeys(binding.menuKey());
    }
    return chords;
}

bool MessageBoxAlerts::isChord(const QKeyEvent &key, const QList<QKeyCombination> &chords)
{
    // Return and keypad Enter are one key to the grab.
    const int pressed = key.key() == Qt::Key_Enter ? Qt::Key_Return : key.key();
    const Qt::KeyboardModifiers held = key.modifiers() & ~Qt::KeypadModifier;
    return std::any_of(chords.begin(), chords.end(), [&](const QKeyCombination &chord) {
        return pressed == chord.key() && held == (chord.keyboardModifiers() & ~Qt::KeypadModifier);
    });
}

void MessageBoxAlerts::withholdHotKeys(const ShortcutBindings &bindings)
{
    m_withheld = chords(bindings);
}

void MessageBoxAlerts::setDisplayLost()
{
    g_displayLost = true;
}

int MessageBoxAlerts::runModal(const AlertRequest &request)
{
    if (g_displayLost)
        return request.buttons.isEmpty() ? 0 : int(request.buttons.size() - 1);
    // On the heap and watched: the window it stands over may be closed, and deleted with its
    // children, inside the alert's own event loop.
    QPointer<QMessageBox> alert = new QMessageBox(QApplication::activeWindow());
    QMessageBox &box = *alert;
    box.setWindowTitle(QStringLiteral("Lumacast"));
    box.setText(request.message);
    box.setInformativeText(request.informativeText);
    // Alerts carry file names, error texts and an update feed's words, none of them markup: a
    // "<a href=…>" in them is shown as typed and never becomes a link that opens something.
    box.setTextFormat(Qt::PlainText);
    for (QLabel *label : box.findChildren<QLabel *>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
    switch (request.style) {
    case AlertStyle::warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case AlertStyle::informational:
        box.setIcon(QMessageBox::Information);
        break;
    case AlertStyle::critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    const QStringList titles = request.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : request.buttons;
    QList<QAbstractButton *> buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        // The buttons keep the order they were given in.
        QPushButton *button = box.addButton(titles[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::ActionRole);
        buttons.push_back(button);
    }
    box.setDefaultButton(qobject_cast<QPushButton *>(buttons.value(request.defaultButton, buttons.first())));
    box.setEscapeButton(buttons.last());
    const qsizetype cancel = buttons.size() - 1;
    {
        const WithheldKeyFilter withheld(&box, m_withheld);
        box.exec();
    }
    if (!alert)
        return int(cancel);
    const qsizetype chosen = buttons.indexOf(box.clickedButton());
    delete alert;
    return int(chosen < 0 ? cancel : chosen);
}

void MessageBoxAlerts::bringToFront()
{
    FrontWindow::bring(QApplication::activeModalWidget());
}

} // namespace lumacast
