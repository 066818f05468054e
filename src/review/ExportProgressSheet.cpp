#include "review/ExportProgressSheet.h"

#include <QFontDatabase>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace lumacast::review {

ExportProgressSheet::ExportProgressSheet(QWidget *window)
    : ReviewSheet(window)
{
    setFixedWidth(320);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(10);
    m_title = new QLabel(this);
    m_title->setAlignment(Qt::AlignCenter);
    QFont headline = font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() + 1);
    m_title->setFont(headline);
    layout->addWidget(m_title);
    m_bar = new QProgressBar(this);
    m_bar->setTextVisible(false);
    layout->addWidget(m_bar);
    m_percentage = new QLabel(this);
    m_percentage->setAlignment(Qt::AlignCenter);
    QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    digits.setPointSizeF(font().pointSizeF() - 1.5);
    m_percentage->setFont(digits);
    m_percentage->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(m_percentage);
}

void ExportProgressSheet::showContent(const ExportSheetContent &content)
{
    m_title->setText(content.title);
    if (content.determinate) {
        m_bar->setRange(0, 1000);
        m_bar->setValue(static_cast<int>(content.progress * 1000));
    } else {
        m_bar->setRange(0, 0); // indeterminate
    }
    m_percentage->setText(content.percentage);
    m_percentage->setVisible(content.determinate);
    adjustSize();
}

QString ExportProgressSheet::titleText() const
{
    return m_title->text();
}

QString ExportProgressSheet::percentageText() const
{
    return m_percentage->isVisibleTo(this) ? m_percentage->text() : QString();
}

} // namespace lumacast::review
