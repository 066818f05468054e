#include "app/settings/ScrollingPage.h"

#include <QFrame>
#include <QScrollArea>
#include <QVBoxLayout>

namespace lumacast {

QVBoxLayout *addScrollingPage(QWidget *window, int margin, int spacing)
{
    auto *scroll = new QScrollArea(window);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *content = new QWidget(scroll);
    auto *page = new QVBoxLayout(content);
    page->setContentsMargins(margin, margin, margin, margin);
    page->setSpacing(spacing);
    // Resizable: the page follows the content added to it later.
    scroll->setWidget(content);

    auto *outer = new QVBoxLayout(window);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    return page;
}

} // namespace lumacast
