#include "dialogs/ExportSummaryWindow.h"

#include "store/Shortcut.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>
#include <cstdlib>

namespace lumacast {

namespace {

constexpr int kSceneColumnWidth = 160;
constexpr int kTakeColumnWidth = 100;
constexpr int kDurationColumnWidth = 50;

QLabel *makeLabel(const QString &text, const QString &name, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void useSecondaryColour(QLabel *label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
}

// The session's checked take of a scene: the first take whose id is the scene's check.
const Take *checkedTake(const RecordingScene &scene, qsizetype *position)
{
    if (!scene.selectedTakeID)
        return nullptr;
    for (qsizetype i = 0; i < scene.takes.size(); ++i) {
        if (scene.takes[i].id == *scene.selectedTakeID) {
            *position = i;
            return &scene.takes[i];
        }
    }
    return nullptr;
}

} // namespace

QString ExportSummaryWindow::durationText(double seconds)
{
    // Beyond this no running time is meaningful, and the conversion to an integer would overflow.
    if (!std::isfinite(seconds) || std::fabs(seconds) >= 1e15)
        return QStringLiteral("--:--");
    const long long whole = static_cast<long long>(std::trunc(seconds));
    const long long magnitude = std::llabs(whole);
    return QStringLiteral("%1%2:%3")
        .arg(whole < 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 60)
        .arg(magnitude % 60, 2, 10, QLatin1Char('0'));
}

ExportSummaryWindow::ExportSummaryWindow(ExportHost &host, QWidget *parent)
    : QWidget(parent, Qt::Window), m_host(&host)
{
    setObjectName(QString::fromLatin1(identifier));
    setWindowTitle(QStringLiteral("Export"));
    setMinimumWidth(400);

    m_layout = new QVBoxLayout(this);
    m_layout->setSpacing(16);
    m_layout->setContentsMargins(24, 24, 24, 24);

    QLabel *title = makeLabel(QStringLiteral("Export Summary"), QStringLiteral("title"), this);
    QFont headline = title->font();
    headline.setWeight(QFont::DemiBold);
    title->setFont(headline);
    m_layout->addWidget(title, 0, Qt::AlignHCenter);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    // The menus' modifier is Ctrl; Escape closes as any window's cancel does (Super+Escape is
    // often the desktop's own).
    cancel->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    m_exportButton = new QPushButton(QStringLiteral("Export Video"), this);
    m_exportButton->setObjectName(QStringLiteral("exportButton"));
    m_exportButton->setDefault(true);
    m_exportButton->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    m_exportButton->setToolTip(
        QStringLiteral("Export Video (%1)")
            .arg(ShortcutBinding::shortcutText(carbon_modifier::shift | carbon_modifier::control, QStringLiteral("E"))));
    connect(m_exportButton, &QPushButton::clicked, this, &ExportSummaryWindow::exportVideo);
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(m_exportButton);
    buttons->addStretch();
    m_layout->addLayout(buttons);

    connect(&host, &ExportHost::currentSessionChanged, this, &ExportSummaryWindow::rebuild);
    rebuild();
}

void ExportSummaryWindow::rebuild()
{
    if (m_content) {
        // Deleted at once, so that what the window holds is always the current session's rows.
        delete m_content;
        m_content = nullptr;
    }
    const std::optional<Session> session = m_host ? m_host->currentSession() : std::nullopt;
    const int selected = m_host ? m_host->selectedTakeCount() : 0;
    m_exportButton->setEnabled(selected > 0);
    if (!session)
        return;

    m_content = new QWidget(this);
    m_content->setObjectName(QStringLiteral("summary"));
    auto *content = new QVBoxLayout(m_content);
    content->setContentsMargins(0, 0, 0, 0);
    content->setSpacing(16);

    if (selected == 0) {
        auto *warning = new QHBoxLayout;
        warning->setSpacing(8);
        QLabel *symbol = makeLabel(QStringLiteral("\u26A0"), QStringLiteral("warningSymbol"), m_content);
        QPalette orange = symbol->palette();
        orange.setColor(QPalette::WindowText, QColor(0xFF, 0x95, 0x00));
        symbol->setPalette(orange);
        QLabel *text = makeLabel(
            QStringLiteral("No takes selected. Choose a best take for at least one scene to "
                           "enable export."),
            QStringLiteral("warning"), m_content);
        text->setWordWrap(true);
        QFont callout = text->font();
        callout.setPointSizeF(callout.pointSizeF() * 12.0 / 13.0);
        text->setFont(callout);
        warning->addWidget(symbol, 0, Qt::AlignVCenter);
        warning->addWidget(text, 1, Qt::AlignVCenter);
        content->addLayout(warning);
    }

    auto *list = new QVBoxLayout;
    list->setSpacing(4);
    const QFont monospaced = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (qsizetype index = 0; index < session->scenes.size(); ++index) {
        const RecordingScene &scene = session->scenes[index];
        auto *row = new QHBoxLayout;
        row->setSpacing(8);
        const QString sceneText =
            scene.name ? *scene.name : QStringLiteral("Scene %1").arg(index + 1);
        QLabel *sceneLabel = makeLabel(sceneText, QStringLiteral("sceneLabel"), m_content);
        sceneLabel->setFixedWidth(kSceneColumnWidth);
        row->addWidget(sceneLabel, 0, Qt::AlignVCenter);

        qsizetype position = 0;
        QList<QLabel *> rowLabels{sceneLabel};
        if (const Take *take = checkedTake(scene, &position)) {
            const QString takeText =
                take->name ? *take->name : QStringLiteral("Take %1").arg(position + 1);
            QLabel *takeLabel = makeLabel(takeText, QStringLiteral("takeLabel"), m_content);
            takeLabel->setFixedWidth(kTakeColumnWidth);
            QLabel *duration = makeLabel(durationText(take->trimEnd - take->trimStart),
                                         QStringLiteral("takeDuration"), m_content);
            duration->setFixedWidth(kDurationColumnWidth);
            duration->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            useSecondaryColour(duration);
            row->addWidget(takeLabel, 0, Qt::AlignVCenter);
            row->addWidget(duration, 0, Qt::AlignVCenter);
            rowLabels << takeLabel << duration;
        } else {
            QLabel *skip = makeLabel(QStringLiteral("\u2014 skip"), QStringLiteral("skip"), m_content);
            useSecondaryColour(skip);
            row->addWidget(skip, 0, Qt::AlignVCenter);
            rowLabels << skip;
        }
        for (QLabel *label : rowLabels)
            label->setFont(monospaced);
        row->addStretch();
        list->addLayout(row);
    }

    auto *divider = new QFrame(m_content);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    list->addWidget(divider);

    QLabel *total = makeLabel(QStringLiteral("Total: ") + durationText(session->checkedDuration()),
                              QStringLiteral("total"), m_content);
    QFont medium = total->font();
    medium.setWeight(QFont::Medium);
    total->setFont(medium);
    list->addWidget(total);
    content->addLayout(list);

    // Between the title and the buttons.
    m_layout->insertWidget(1, m_content);
}

void ExportSummaryWindow::exportVideo()
{
    // The window goes first, so the export's save panel does not come up behind it.
    close();
    if (m_host)
        m_host->exportVideo();
}

} // namespace lumacast
