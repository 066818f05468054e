#pragma once

#include "review/ReviewPlayback.h"
#include "review/ReviewWindowModel.h"

#include <QMainWindow>

#include <memory>

class QAction;
class QLabel;
class QSplitter;
class QStackedWidget;
class QToolBar;

namespace lumacast {
class AppStateManager;
class ManagerOutlineHost;
class SceneOutline;
}

namespace lumacast::review {

class ExportProgressSheet;
class ManagerReviewHost;
class PlayerPane;
class ReviewCommands;
class ReviewStartScreen;
class TailOperationSheet;
class WindowCloseGuard;

// The application window with the identifier "review": with a recording open, the scene outline
// beside the player pane under a toolbar (Delete Take, Approve Take, Add Take, Add Scene, Record
// Tail and the recording's name); without one, the start screen. The export progress sheet comes
// up over either while an export runs, the tail-operation sheet over the split view while a tail
// joins or has failed. Its logic is `ReviewWindowModel`; this class only lays out and relays.
//
// Main thread only. The manager (and `commands`, when given) must outlive the window. Without
// `commands` the window makes its own ManagerReviewCommands. Closing asks the state manager
// first; a refused close leaves the window open. The window's review state is not saved: the
// application makes a new window each time it opens "review" (and deletes it on close).
class ReviewWindow final : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char *identifier = "review";

    explicit ReviewWindow(AppStateManager &manager, ReviewCommands *commands = nullptr,
                          ReviewPlayback::PlayerFactory makePlayer = {}, QWidget *parent = nullptr);
    ~ReviewWindow() override;

    ReviewWindowModel &model() const { return *m_model; }
    ReviewPlayback &playback() const { return *m_playback; }

    // The parts, for tests and the application's menus.
    SceneOutline *outline() const { return m_outline; }
    PlayerPane *playerPane() const { return m_pane; }
    ReviewStartScreen *startScreen() const { return m_startScreen; }
    QSplitter *splitView() const { return m_split; }
    QToolBar *reviewToolBar() const { return m_toolBar; }
    QAction *toolbarAction(ToolbarButton::Action action) const;
    QString subtitle() const;
    TailOperationSheet *tailSheet() const { return m_tailSheet; }
    ExportProgressSheet *exportSheet() const { return m_exportSheet; }
    WindowCloseGuard *closeGuard() const { return m_closeGuard; }

protected:
    void showEvent(QShowEvent *event) override;
    // Reached only when the close guard let the close through.
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildToolBar();
    void buildSplitView();
    void showContent();
    void refreshToolBar();
    void refreshPane();
    void refreshSheets();
    bool isOnScreen() const;

    std::unique_ptr<ReviewCommands> m_ownCommands;
    std::unique_ptr<ManagerReviewHost> m_host;
    std::unique_ptr<ManagerOutlineHost> m_outlineHost;
    std::unique_ptr<ReviewPlayback> m_playback;
    std::unique_ptr<ReviewWindowModel> m_model;

    QStackedWidget *m_stack = nullptr;
    ReviewStartScreen *m_startScreen = nullptr;
    QSplitter *m_split = nullptr;
    SceneOutline *m_outline = nullptr;
    PlayerPane *m_pane = nullptr;
    QToolBar *m_toolBar = nullptr;
    QList<QAction *> m_actions; // in ToolbarButton::Action order
    QLabel *m_subtitle = nullptr;
    TailOperationSheet *m_tailSheet = nullptr;
    ExportProgressSheet *m_exportSheet = nullptr;
    WindowCloseGuard *m_closeGuard = nullptr;
    bool m_appeared = false;
};

} // namespace lumacast::review
