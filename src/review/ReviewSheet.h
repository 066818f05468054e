#pragma once

#include <QDialog>

namespace lumacast::review {

// A sheet of the review window: window-modal, without a close button, and not dismissable by
// the user (Escape and the window manager's close do nothing). Only its owner takes it down,
// with `dismiss`, when the state it covers has ended.
//
// Main thread only.
class ReviewSheet : public QDialog {
    Q_OBJECT
public:
    explicit ReviewSheet(QWidget *window);

    // Shows it over its window (nothing when already shown) / takes it down.
    void present();
    void dismiss();

    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    bool m_dismissing = false;
};

} // namespace lumacast::review
