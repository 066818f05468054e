#include "review/ReviewWindow.h"

#include "control/AppStateManager.h"
#include "review/ExportProgressSheet.h"
#include "review/ManagerOutlineHost.h"
#include "review/ManagerReviewCommands.h"
#include "review/ManagerReviewHost.h"
#include "review/PlayerPane.h"
#include "review/ReviewStartScreen.h"
#include "review/TailOperationSheet.h"
#include "review/WindowCloseGuard.h"
#include "review/outline/SceneOutline.h"

#include <QAction>
#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

namespace lumacast::review {

namespace {

// The toolbar's symbols, drawn as line icons in `colour`.
QIcon symbolIcon(const QString &symbol, const QColor &colour)
{
    QPixmap pixmap(40, 40);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    if (symbol == QLatin1String("xmark")) {
        p.drawLine(QPointF(5, 5), QPointF(15, 15));
        p.drawLine(QPointF(15, 5), QPointF(5, 15));
    } else if (symbol == QLatin1String("checkmark")) {
        p.drawPolyline(QPolygonF({QPointF(4, 10.5), QPointF(8.5, 15), QPointF(16, 5)}));
    } else if (symbol == QLatin1String("record.circle")) {
        p.drawEllipse(QPointF(10, 10), 7.5, 7.5);
        p.setBrush(colour);
        p.drawEllipse(QPointF(10, 10), 3.5, 3.5);
    } else if (symbol == QLatin1String("plus.rectangle")) {
        p.drawRoundedRect(QRectF(2.5, 4.5, 15, 11), 2, 2);
        p.drawLine(QPointF(10, 7), QPointF(10, 13));
        p.drawLine(QPointF(7, 10), QPointF(13, 10));
    } else {
        p.drawEllipse(QPointF(10, 10), 7.5, 7.5);
        QPainterPath turn;
        turn.moveTo(7, 13);
        turn.lineTo(7, 9);
        turn.quadTo(7, 7, 9, 7);
        turn.lineTo(13, 7);
        p.drawPath(turn);
        p.drawPolyline(QPolygonF({QPointF(11, 5), QPointF(13, 7), QPointF(11, 9)}));
    }
    return QIcon(pixmap);
}

QColor tintColour(ToolbarButton::Tint tint, const QPalette &palette)
{
    switch (tint) {
    case ToolbarButton::Tint::red:
        return QColor(0xff, 0x3b, 0x30);
    case ToolbarButton::Tint::accent:
        return palette.color(QPalette::Highlight);
    case ToolbarButton::Tint::none:
        break;
    }
    return palette.color(QPalette::ButtonText);
}

} // namespace

ReviewWindow::ReviewWindow(AppStateManager &manager, ReviewCommands *commands, ReviewPlayback::PlayerFactory makePlayer,
                           QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QString::fromLatin1(identifier));
    setWindowTitle(QString());
    setMinimumSize(900, 420);
    if (!commands) {
        m_ownCommands = std::make_unique<ManagerReviewCommands>(manager);
        commands = m_ownCommands.get();
    }
    m_host = std::make_unique<ManagerReviewHost>(manager, *commands, this);
    m_outlineHost = std::make_unique<ManagerOutlineHost>(manager);
    m_playback = std::make_unique<ReviewPlayback>(*m_host, std::move(makePlayer));
    m_model = std::make_unique<ReviewWindowModel>(manager, *commands, *m_playback);

    m_stack = new QStackedWidget(this);
    m_startScreen = new ReviewStartScreen(*m_model, m_stack);
    m_stack->addWidget(m_startScreen);
    buildSplitView();
    m_stack->addWidget(m_split);
    setCentralWidget(m_stack);
    buildToolBar();

    m_tailSheet = new TailOperationSheet(this);
    m_exportSheet = new ExportProgressSheet(this);
    connect(m_tailSheet, &TailOperationSheet::chosen, m_model.get(), &ReviewWindowModel::chooseTailAction);

    ReviewWindowModel *model = m_model.get();
    m_closeGuard = new WindowCloseGuard(manager, [model] { return model->windowShouldClose(); }, this);
    m_closeGuard->attach(this);

    connect(model, &ReviewWindowModel::contentChanged, this, &ReviewWindow::showContent);
    connect(model, &ReviewWindowModel::toolbarChanged, this, &ReviewWindow::refreshToolBar);
    connect(model, &ReviewWindowModel::paneChanged, this, &ReviewWindow::refreshPane);
    connect(model, &ReviewWindowModel::sheetsChanged, this, &ReviewWindow::refreshSheets);
    connect(model, &ReviewWindowModel::focusRequested, m_outline,
            [this](const QUuid &id) { m_outline->setFocusedItemID(id); });
    showContent();
}

ReviewWindow::~ReviewWindow()
{
    // The widgets call into the model and the playback; they go first.
    delete m_closeGuard;
    delete m_tailSheet;
    delete m_exportSheet;
    delete m_toolBar;
    delete takeCentralWidget();
}

void ReviewWindow::buildSplitView()
{
    m_split = new QSplitter(Qt::Horizontal, m_stack);
    m_split->setChildrenCollapsible(false);
    // The outline sits in a holder of its own: its row buttons for assistive tools are the
    // holder's children (a splitter would take them for panes).
    auto *sidebar = new QWidget(m_split);
    auto *sidebarLayout = new QVBoxLayout(sidebar);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    m_outline = new SceneOutline(m_outlineHost.get(), sidebar);
    sidebarLayout->addWidget(m_outline);
    sidebar->setMinimumWidth(220);
    sidebar->setMaximumWidth(400);
    m_pane = new PlayerPane(m_split);
    m_split->addWidget(sidebar);
    m_split->addWidget(m_pane);
    m_split->setStretchFactor(0, 0);
    m_split->setStretchFactor(1, 1);
    m_split->setSizes({260, 640});

    ReviewPlayback *playback = m_playback.get();
    m_outline->setTrimHandleSelectedQuery([playback] { return playback->selectedTrimHandle().has_value(); });
    connect(m_outline, &SceneOutline::playbackKey, playback, &ReviewPlayback::handlePlaybackKey);
    connect(m_outline, &SceneOutline::selectTakeForPreview, playback,
            [playback](const QUuid &takeID, const QString &path) {
                playback->setSelectedTrimHandle(std::nullopt);
                playback->loadPreview(path, takeID, true);
            });
    connect(m_outline, &SceneOutline::clearPreview, playback, &ReviewPlayback::clearPreview);
    AppStateManager *manager = &m_model->manager();
    connect(m_outline, &SceneOutline::renamingChanged, manager, [manager](bool renaming) {
        manager->setIsRenaming(renaming);
    });
}

void ReviewWindow::buildToolBar()
{
    m_toolBar = new QToolBar(this);
    m_toolBar->setObjectName(QStringLiteral("reviewToolBar"));
    m_toolBar->setMovable(false);
    m_toolBar->setFloatable(false);
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toolBar->toggleViewAction()->setVisible(false);
    for (const ToolbarButton &button : m_model->toolbarButtons()) {
        QAction *action = m_toolBar->addAction(button.title);
        const ToolbarButton::Action which = button.action;
        connect(action, &QAction::triggered, m_model.get(), [this, which] { m_model->trigger(which); });
        if (auto *tool = qobject_cast<QToolButton *>(m_toolBar->widgetForAction(action))) {
            QPalette palette = tool->palette();
            const QColor colour = tintColour(button.tint, palette);
            // Only the enabled look takes the tint; a disabled button greys like any other.
            palette.setColor(QPalette::Active, QPalette::ButtonText, colour);
            palette.setColor(QPalette::Inactive, QPalette::ButtonText, colour);
            tool->setPalette(palette);
            QIcon icon = symbolIcon(button.symbol, colour);
            icon.addPixmap(symbolIcon(button.symbol, palette.color(QPalette::Disabled, QPalette::ButtonText))
                               .pixmap(20, 20),
                           QIcon::Disabled);
            action->setIcon(icon);
        }
        m_actions << action;
    }
    // The subtitle sits in the middle of the remaining space.
    auto spacer = [this] {
        auto *widget = new QWidget(m_toolBar);
        widget->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        return widget;
    };
    m_toolBar->addWidget(spacer());
    m_subtitle = new QLabel(m_toolBar);
    m_subtitle->setForegroundRole(QPalette::PlaceholderText);
    m_toolBar->addWidget(m_subtitle);
    m_toolBar->addWidget(spacer());
    addToolBar(Qt::TopToolBarArea, m_toolBar);
}

QAction *ReviewWindow::toolbarAction(ToolbarButton::Action action) const
{
    return m_actions.value(static_cast<int>(action));
}

QString ReviewWindow::subtitle() const
{
    return m_subtitle->text();
}

void ReviewWindow::showContent()
{
    const bool session = m_model->showsSession();
    m_stack->setCurrentWidget(session ? static_cast<QWidget *>(m_split) : m_startScreen);
    m_toolBar->setVisible(session);
    if (session && m_appeared)
        m_model->appear();
    refreshToolBar();
    refreshPane();
    refreshSheets();
}

void ReviewWindow::refreshToolBar()
{
    const QList<ToolbarButton> buttons = m_model->toolbarButtons();
    for (qsizetype i = 0; i < buttons.size() && i < m_actions.size(); ++i) {
        m_actions[i]->setEnabled(buttons[i].enabled);
        m_actions[i]->setToolTip(buttons[i].help);
    }
    m_subtitle->setText(m_model->subtitleText());
}

void ReviewWindow::refreshPane()
{
    m_pane->setInputs(m_playback->paneInputs(m_model->canRecordTailMirror()));
}

void ReviewWindow::refreshSheets()
{
    if (m_model->exportSheetShown()) {
        m_exportSheet->showContent(m_model->exportSheet());
        if (isOnScreen())
            m_exportSheet->present();
    } else {
        m_exportSheet->dismiss();
    }
    if (const std::optional<TailSheetContent> content = m_model->tailSheet()) {
        m_tailSheet->showContent(*content);
        if (isOnScreen())
            m_tailSheet->present();
    } else {
        m_tailSheet->dismiss();
    }
}

// A sheet waits for its window to be mapped: one shown for a window still minimized (a tail's
// join begins as the window is brought back from the capture) has the window manager keep both
// minimized, while Qt already counts the window as restored and so never restores it again.
bool ReviewWindow::isOnScreen() const
{
    return isVisible() && windowHandle() && windowHandle()->isExposed();
}

bool ReviewWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed())
        QMetaObject::invokeMethod(this, &ReviewWindow::refreshSheets, Qt::QueuedConnection);
    return QMainWindow::eventFilter(watched, event);
}

void ReviewWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    windowHandle()->installEventFilter(this);
    if (m_model->showsSession()) {
        m_model->appear();
        if (!m_outline->focusedItemID())
            if (const std::optional<QUuid> previewing = m_playback->previewingTakeID())
                m_outline->setFocusedItemID(*previewing);
    }
    refreshSheets();
}

void ReviewWindow::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) {
        m_tailSheet->dismiss();
        m_exportSheet->dismiss();
        m_model->windowWillClose();
    }
}

} // namespace lumacast::review
