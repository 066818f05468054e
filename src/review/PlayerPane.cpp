#include "review/PlayerPane.h"

#include "platform/av/Player.h"
#include "review/TrimBar.h"
#include "review/VideoFrameView.h"

#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPainter>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace lumacast::review {

namespace {

constexpr int standardPadding = 16;

// A clapperboard drawn in white at 0.7 opacity, 40 points high.
class ClapperIcon : public QWidget {
public:
    explicit ClapperIcon(QWidget *parent) : QWidget(parent) { setFixedSize(48, 40); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setOpacity(0.7);
        p.setPen(QPen(Qt::white, 2.5));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(4, 14, 40, 24), 3, 3);
        p.setBrush(Qt::white);
        QPolygonF clapper({QPointF(3, 6), QPointF(43, 0), QPointF(44.5, 7), QPointF(4.5, 13)});
        p.drawPolygon(clapper);
    }
};

QLabel *label(const QString &text, QWidget *parent, bool caption)
{
    auto *l = new QLabel(text, parent);
    l->setAlignment(Qt::AlignCenter);
    l->setWordWrap(true);
    QFont font = l->font();
    if (caption)
        font.setPointSizeF(font.pointSizeF() * 0.85);
    l->setFont(font);
    l->setStyleSheet(caption ? QStringLiteral("color: rgba(255, 255, 255, 178);") : QStringLiteral("color: white;"));
    return l;
}

} // namespace

PlayerPane::PlayerPane(QWidget *parent) : QWidget(parent)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *videoArea = new QWidget(this);
    m_stack = new QStackedLayout(videoArea);
    m_video = new VideoFrameView(videoArea);
    m_noTakes = makeMessage(true);
    m_noVideo = makeMessage(false);
    m_stack->addWidget(m_video);
    m_stack->addWidget(m_noTakes);
    m_stack->addWidget(m_noVideo);
    column->addWidget(videoArea, 1);

    m_trimBarArea = new QWidget(this);
    m_trimBarArea->setAutoFillBackground(true);
    QPalette barPalette = m_trimBarArea->palette();
    barPalette.setColor(QPalette::Window, QColor(38, 38, 40));
    m_trimBarArea->setPalette(barPalette);
    auto *barLayout = new QVBoxLayout(m_trimBarArea);
    barLayout->setContentsMargins(standardPadding, 8, standardPadding, 8);
    m_trimBar = new TrimBar(m_trimBarArea);
    barLayout->addWidget(m_trimBar);
    column->addWidget(m_trimBarArea, 0);
    m_trimBarArea->hide();
    m_stack->setCurrentWidget(m_noTakes);
}

QWidget *PlayerPane::makeMessage(bool noTakes)
{
    auto *area = new QWidget(this);
    area->setMinimumSize(VideoFrameView::kMinimumSize);
    area->setAutoFillBackground(true);
    QPalette black = area->palette();
    black.setColor(QPalette::Window, Qt::black);
    area->setPalette(black);
    auto *column = new QVBoxLayout(area);
    column->setSpacing(8);
    column->addStretch(1);
    if (noTakes) {
        column->addWidget(new ClapperIcon(area), 0, Qt::AlignHCenter);
        column->addWidget(label(QStringLiteral("No takes yet"), area, false));
        column->addWidget(label(QStringLiteral("Record a take to see it here."), area, true));
    } else {
        column->addWidget(label(QStringLiteral("No video recorded"), area, false));
        QLabel *detail = label(QStringLiteral("The recording appears to be empty. Check Screen Recording "
                                              "permission in Settings."),
                               area, true);
        detail->setContentsMargins(standardPadding, 0, standardPadding, 0);
        column->addWidget(detail);
    }
    column->addStretch(1);
    return area;
}

void PlayerPane::setInputs(const PlayerPaneInputs &inputs)
{
    av::Player *player = inputs.player.data();
    m_video->setPlayer(player);
    if (player)
        m_stack->setCurrentWidget(m_video);
    else
        m_stack->setCurrentWidget(inputs.showNoTakesMessage ? m_noTakes : m_noVideo);

    const bool barShown = player && inputs.takeDuration > 0;
    TrimBar::Inputs bar;
    bar.duration = inputs.takeDuration;
    bar.trimStart = inputs.trimStart;
    bar.trimEnd = inputs.trimEnd;
    bar.player = inputs.player;
    bar.selectedHandle = inputs.selectedHandle;
    bar.parkedPlayhead = inputs.parkedPlayhead;
    bar.onTrimChanged = inputs.onTrimChanged;
    bar.onBeginEdit = inputs.onBeginEdit;
    bar.canRecordTail = inputs.canRecordTail;
    bar.onRecordTail = inputs.onRecordTail;
    m_trimBar->setInputs(std::move(bar));
    m_trimBar->setEnabled(inputs.trimEditingEnabled);
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(m_trimBar->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(m_trimBar);
        m_trimBar->setGraphicsEffect(effect);
    }
    effect->setOpacity(inputs.trimEditingEnabled ? 1.0 : 0.45);
    m_trimBarArea->setVisible(barShown);
}

QString PlayerPane::emptyStateTitle() const
{
    if (m_stack->currentWidget() == m_noTakes)
        return QStringLiteral("No takes yet");
    if (m_stack->currentWidget() == m_noVideo)
        return QStringLiteral("No video recorded");
    return {};
}

} // namespace lumacast::review
