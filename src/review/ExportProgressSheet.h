#pragma once

#include "review/ReviewSheet.h"
#include "review/ReviewWindowModel.h"

class QLabel;
class QProgressBar;

namespace lumacast::review {

// The sheet shown while an export runs, or a copy of the recording's files: its label (or
// "Exporting…"), a bar, and the percentage once progress is known. It has no controls: neither
// is cancelled from here.
//
// Main thread only.
class ExportProgressSheet final : public ReviewSheet {
    Q_OBJECT
public:
    explicit ExportProgressSheet(QWidget *window);

    void showContent(const ExportSheetContent &content);

    QString titleText() const;
    // Empty while no percentage is shown.
    QString percentageText() const;
    QProgressBar *progressBar() const { return m_bar; }

private:
    QLabel *m_title = nullptr;
    QProgressBar *m_bar = nullptr;
    QLabel *m_percentage = nullptr;
};

} // namespace lumacast::review
