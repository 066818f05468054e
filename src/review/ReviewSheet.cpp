#include "review/ReviewSheet.h"

#include <QCloseEvent>

namespace lumacast::review {

ReviewSheet::ReviewSheet(QWidget *window)
    : QDialog(window, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    // Blocks its own window only (setModal would block the whole application).
    setWindowModality(Qt::WindowModal);
}

void ReviewSheet::present()
{
    if (isVisible())
        return;
    adjustSize();
    if (QWidget *window = parentWidget()) {
        // Hangs from the top of the window, as a sheet does.
        const QRect frame = window->geometry();
        move(frame.x() + (frame.width() - width()) / 2, frame.y() + 40);
    }
    show();
}

void ReviewSheet::dismiss()
{
    m_dismissing = true;
    hide();
    m_dismissing = false;
}

void ReviewSheet::reject()
{
    // Escape: the sheet stays until its operation ends.
}

void ReviewSheet::closeEvent(QCloseEvent *event)
{
    if (!m_dismissing)
        event->ignore();
}

} // namespace lumacast::review
