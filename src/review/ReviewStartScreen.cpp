#include "review/ReviewStartScreen.h"

#include "control/AppStateManager.h"
#include "review/ReviewWindowModel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace lumacast::review {

namespace {

// A clapperboard, drawn in the secondary text colour.
QPixmap clapperboard(const QColor &colour, int side, qreal ratio)
{
    QPixmap pixmap(QSize(side, side) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, side / 14.0);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    const qreal u = side / 16.0;
    p.drawRoundedRect(QRectF(2 * u, 7 * u, 12 * u, 7.5 * u), u, u);
    QPainterPath top;
    top.moveTo(2 * u, 6 * u);
    top.lineTo(13.2 * u, 3 * u);
    top.lineTo(12.6 * u, 1 * u);
    top.lineTo(1.5 * u, 4 * u);
    top.closeSubpath();
    p.drawPath(top);
    for (int i = 0; i < 3; ++i)
        p.drawLine(QPointF((4.5 + 3 * i) * u, 3.3 * u - i * 0.8 * u), QPointF((5.5 + 3 * i) * u, 5.5 * u - i * 0.8 * u));
    return pixmap;
}

QLabel *secondaryLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

} // namespace

ReviewStartScreen::ReviewStartScreen(ReviewWindowModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
{
    auto *outer = new QVBoxLayout(this);
    outer->addStretch(1);
    auto *column = new QVBoxLayout;
    column->setSpacing(12);
    outer->addLayout(column);
    outer->addStretch(1);

    auto *icon = new QLabel(this);
    icon->setPixmap(clapperboard(palette().color(QPalette::PlaceholderText), 56, devicePixelRatioF()));
    icon->setAlignment(Qt::AlignCenter);
    column->addWidget(icon);
    auto *title = new QLabel(QStringLiteral("No recording open"), this);
    QFont titleFont = font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    auto *invitation = secondaryLabel(QStringLiteral("Start a new recording or open an existing one."), this);
    invitation->setAlignment(Qt::AlignCenter);
    column->addWidget(invitation);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    buttons->addStretch(1);
    for (const auto &[text, action] :
         {std::pair{QStringLiteral("New Recording"), &ReviewWindowModel::newRecording},
          std::pair{QStringLiteral("Open Recording…"), &ReviewWindowModel::openRecording}}) {
        auto *button = new QPushButton(text, this);
        button->setMinimumHeight(34); // the large control size
        button->setMinimumWidth(150);
        // Outside a dialog a push button answers only Space; Return should press it too.
        button->setAutoDefault(true);
        if (!m_firstButton)
            m_firstButton = button;
        connect(button, &QPushButton::clicked, this, [this, action] { (m_model.*action)(); });
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    column->addLayout(buttons);

    m_recovered = new QWidget(this);
    m_recovered->setMaximumWidth(360);
    auto *section = new QVBoxLayout(m_recovered);
    section->setContentsMargins(0, 16, 0, 0);
    auto *heading = new QLabel(QStringLiteral("Recovered recordings"), m_recovered);
    QFont headline = font();
    headline.setBold(true);
    heading->setFont(headline);
    section->addWidget(heading);
    auto *note = secondaryLabel(QStringLiteral("Unsaved recordings found from a previous session."), m_recovered);
    QFont caption = font();
    caption.setPointSizeF(caption.pointSizeF() - 1.5);
    note->setFont(caption);
    section->addWidget(note);
    m_rows = new QVBoxLayout;
    section->addLayout(m_rows);
    column->addWidget(m_recovered, 0, Qt::AlignHCenter);

    connect(&model, &ReviewWindowModel::startScreenChanged, this, &ReviewStartScreen::rebuildRecovered);
    rebuildRecovered();
}

void ReviewStartScreen::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The first button takes the keyboard, with its focus frame shown from the start: Qt draws
    // the frame only after a keyboard focus change, which a window just opened has not had.
    const QWidget *focused = window()->focusWidget();
    if (focused && isAncestorOf(focused))
        return;
    window()->setAttribute(Qt::WA_KeyboardFocusChange);
    m_firstButton->setFocus(Qt::OtherFocusReason);
}

bool ReviewStartScreen::showsRecovered() const
{
    return !m_recovered->isHidden();
}

void ReviewStartScreen::rebuildRecovered()
{
    while (QLayoutItem *item = m_rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QList<Session> sessions = m_model.manager().recoverableSessions();
    m_recovered->setHidden(sessions.isEmpty());
    for (const Session &session : sessions) {
        auto *row = new QWidget(m_recovered);
        auto *layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        auto *resume = new QPushButton(ReviewWindowModel::resumeTitle(session), row);
        resume->setAutoDefault(true);
        const QUuid id = session.id;
        // Both commands rebuild these rows, and resuming may open an alert: they run once the
        // click is over, never under the button they delete.
        connect(resume, &QPushButton::clicked, this, [this, id] { m_model.resumeRecovered(id); }, Qt::QueuedConnection);
        auto *discard = new QToolButton(row);
        discard->setAutoRaise(true); // borderless
        discard->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
        discard->setToolTip(QStringLiteral("Discard this recovered recording"));
        connect(discard, &QToolButton::clicked, this, [this, id] { m_model.discardRecovered(id); },
                Qt::QueuedConnection);
        layout->addWidget(resume);
        layout->addWidget(discard);
        layout->addStretch(1);
        m_rows->addWidget(row);
    }
}

} // namespace lumacast::review
