#include "review/TailOperationSheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace lumacast::review {

namespace {

QFont withPointSizeDelta(QFont font, qreal delta, bool bold)
{
    font.setPointSizeF(font.pointSizeF() + delta);
    font.setBold(bold);
    return font;
}

} // namespace

TailOperationSheet::TailOperationSheet(QWidget *window)
    : ReviewSheet(window)
{
    setFixedWidth(440);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(10);
    auto *titleRow = new QHBoxLayout;
    m_icon = new QLabel(this);
    m_icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(18, 18));
    m_title = new QLabel(this);
    m_title->setFont(withPointSizeDelta(font(), 1, true));
    titleRow->addWidget(m_icon);
    titleRow->addWidget(m_title, 1);
    layout->addLayout(titleRow);
    m_bar = new QProgressBar(this);
    m_bar->setTextVisible(false);
    layout->addWidget(m_bar);
    m_caption = new QLabel(this);
    m_caption->setFont(withPointSizeDelta(font(), -1.5, false));
    m_caption->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(m_caption);
    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    m_message->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(m_message);
    m_buttonRow = new QWidget(this);
    m_buttons = new QHBoxLayout(m_buttonRow);
    m_buttons->setContentsMargins(0, 6, 0, 0);
    layout->addWidget(m_buttonRow);
}

void TailOperationSheet::showContent(const TailSheetContent &content)
{
    m_icon->setVisible(content.failed);
    m_title->setText(content.title);
    m_bar->setVisible(!content.failed);
    m_caption->setVisible(!content.failed);
    m_message->setVisible(content.failed);
    m_buttonRow->setVisible(content.failed);
    if (content.progress) {
        m_bar->setRange(0, 1000);
        m_bar->setValue(static_cast<int>(*content.progress * 1000));
    } else {
        m_bar->setRange(0, 0); // indeterminate
    }
    m_caption->setText(content.caption);
    m_message->setText(content.message);
    if (content.actions != m_shownActions) {
        m_shownActions = content.actions;
        while (QLayoutItem *item = m_buttons->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        m_buttons->addStretch(1);
        for (const TailFailureAction action : content.actions) {
            auto *button = new QPushButton(TailSheetContent::buttonTitle(action), m_buttonRow);
            // Retry and Record Again are the default (Return); Discard Tail never is.
            const bool isDefault = action != TailFailureAction::discard;
            button->setDefault(isDefault);
            button->setAutoDefault(isDefault);
            // Queued: the choice changes the sheet's buttons, which must not go under the click.
            connect(button, &QPushButton::clicked, this, [this, action] { emit chosen(action); }, Qt::QueuedConnection);
            m_buttons->addWidget(button);
        }
    }
    adjustSize();
}

QString TailOperationSheet::titleText() const
{
    return m_title->text();
}

QString TailOperationSheet::captionText() const
{
    return m_caption->isVisibleTo(this) ? m_caption->text() : m_message->text();
}

QStringList TailOperationSheet::buttonTitles() const
{
    QStringList titles;
    for (QPushButton *button : m_buttonRow->findChildren<QPushButton *>())
        titles << button->text();
    return titles;
}

} // namespace lumacast::review
