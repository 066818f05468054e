#pragma once

#include "review/ReviewSheet.h"
#include "review/ReviewWindowModel.h"

class QLabel;
class QProgressBar;
class QHBoxLayout;

namespace lumacast::review {

// The sheet over a tail operation that is joining or has failed: the join's progress, or the
// failure's message with Retry / Record Again (the default button, Return) and Discard Tail.
// It keeps no state: `show` redraws it from the content each time the operation changes, so one
// sheet moves from progress to failure and back.
//
// Main thread only. Choices go to `chosen`; the review window hands them to its model.
class TailOperationSheet final : public ReviewSheet {
    Q_OBJECT
public:
    explicit TailOperationSheet(QWidget *window);

    void showContent(const TailSheetContent &content);

    // The shown parts, for tests.
    QString titleText() const;
    QString captionText() const;
    QStringList buttonTitles() const;
    QProgressBar *progressBar() const { return m_bar; }

signals:
    void chosen(lumacast::TailFailureAction action);

private:
    QLabel *m_icon = nullptr;
    QLabel *m_title = nullptr;
    QProgressBar *m_bar = nullptr;
    QLabel *m_caption = nullptr;
    QLabel *m_message = nullptr;
    QWidget *m_buttonRow = nullptr;
    QHBoxLayout *m_buttons = nullptr;
    QList<TailFailureAction> m_shownActions;
};

} // namespace lumacast::review
