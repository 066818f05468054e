#pragma once

#include <QWidget>

class QVBoxLayout;

namespace lumacast::review {

class ReviewWindowModel;

// What the review window shows while no recording is open: an invitation with "New Recording"
// and "Open Recording…", and the recordings recovered from the last run, each with a button to
// resume it and one to discard it. Its buttons are never disabled: the commands refuse by
// themselves when they cannot run now.
//
// Main thread only. The model must outlive it.
class ReviewStartScreen final : public QWidget {
    Q_OBJECT
public:
    explicit ReviewStartScreen(ReviewWindowModel &model, QWidget *parent = nullptr);

    // The recovered section is shown (there are recovered recordings).
    bool showsRecovered() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void rebuildRecovered();

    ReviewWindowModel &m_model;
    QWidget *m_firstButton = nullptr; // "New Recording"
    QWidget *m_recovered = nullptr;
    QVBoxLayout *m_rows = nullptr;
};

} // namespace lumacast::review
