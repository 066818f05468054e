#include "app/settings/SettingsWindow.h"

#include "app/settings/AppKitSlider.h"
#include "app/settings/ScrollingPage.h"
#include "app/settings/SettingsHost.h"
#include "app/settings/ShortcutRow.h"
#include "store/Preferences.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace lumacast {

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 600;
constexpr int kPickerMaxWidth = 360;

// The mark on the level slider where the recommended level sits; it takes no clicks.
class RecommendedLevelTick : public QWidget {
public:
    explicit RecommendedLevelTick(AppKitSlider *slider) : QWidget(slider), m_slider(slider)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        slider->installEventFilter(this);
        setGeometry(slider->rect());
        raise();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_slider && event->type() == QEvent::Resize)
            setGeometry(m_slider->rect());
        return false;
    }
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const double x = m_slider->knobCentre(SettingsWindow::recommendedLevel);
        painter.fillRect(QRectF(x - 0.75, height() / 2.0 - 4.5, 1.5, 9), palette().color(QPalette::Mid));
    }

private:
    AppKitSlider *m_slider;
};

// The box's bold title font would pass on to everything in it: its contents get the regular
// weight back, each keeping its own size.
void regularWeightInside(QGroupBox *box)
{
    for (QWidget *child : box->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        QFont font = child->font();
        font.setBold(false);
        child->setFont(font);
    }
}

QLabel *secondaryLabel(const QString &text, double scale, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(false);
    label->setFont(font);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, pal.color(QPalette::PlaceholderText));
    label->setPalette(pal);
    return label;
}

QLabel *captionLabel(const QString &text, QWidget *parent)
{
    QLabel *label = secondaryLabel(text, 0.85, parent);
    label->setWordWrap(true);
    return label;
}

// A label beside a picker, both held in a row at most `kPickerMaxWidth` wide.
QWidget *pickerRow(const QString &title, QComboBox *picker, QWidget *parent)
{
    auto *row = new QWidget(parent);
    row->setMaximumWidth(kPickerMaxWidth);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(title, row));
    picker->setParent(row);
    layout->addWidget(picker, 1);
    return row;
}

} // namespace

SettingsWindow::SettingsWindow(SettingsHost &host, QWidget *parent)
    : SettingsWindow(host, Preferences::shared(), parent)
{
}

SettingsWindow::SettingsWindow(SettingsHost &host, Preferences &preferences, QWidget *parent)
    : QWidget(parent), m_host(&host), m_preferences(preferences)
{
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(kWidth, kHeight);

    QVBoxLayout *page = addScrollingPage(this, 20, 16);
    buildShortcutsNote(page);
    buildGeneral(page);
    buildAudio(page);
    buildVideo(page);
    buildShortcuts(page);
    for (QGroupBox *box : page->parentWidget()->findChildren<QGroupBox *>(Qt::FindDirectChildrenOnly))
        regularWeightInside(box);
    page->addStretch(1);

    connect(&host, &SettingsHost::settingsChanged, this, &SettingsWindow::refresh);
    refresh();
}

double SettingsWindow::snappedLevel(double level)
{
    return std::abs(level - recommendedLevel) < 0.025 ? recommendedLevel : level;
}

QString SettingsWindow::levelText(double level)
{
    // std::round takes halves away from zero.
    return QString::number(static_cast<long long>(std::round(level * 100))) + QLatin1Char('%');
}

QString SettingsWindow::versionText(const QString &applicationVersion)
{
    return QStringLiteral("Version: ") + (applicationVersion.isEmpty() ? QStringLiteral("?") : applicationVersion);
}

QGroupBox *SettingsWindow::addBox(QVBoxLayout *page, const QString &title, QVBoxLayout **content)
{
    auto *box = new QGroupBox(title, page->parentWidget());
    QFont headline = box->font();
    headline.setBold(true);
    box->setFont(headline);
    auto *column = new QVBoxLayout(box);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);
    page->addWidget(box);
    *content = column;
    return box;
}

void SettingsWindow::buildGeneral(QVBoxLayout *page)
{
    QVBoxLayout *column = nullptr;
    QGroupBox *box = addBox(page, QStringLiteral("General"), &column);

    QLabel *version = secondaryLabel(versionText(QCoreApplication::applicationVersion()), 0.92, box);
    version->setObjectName(QStringLiteral("version"));
    column->addWidget(version);

    auto *updates = new QHBoxLayout;
    m_autoCheck = new QCheckBox(QStringLiteral("Check for updates automatically"), box);
    m_autoCheck->setObjectName(QStringLiteral("autoCheckForUpdates"));
    auto *checkNow = new QPushButton(QStringLiteral("Check Now"), box);
    checkNow->setObjectName(QStringLiteral("checkNow"));
    updates->addWidget(m_autoCheck);
    updates->addStretch(1);
    updates->addWidget(checkNow);
    column->addLayout(updates);

    m_reopen = new QCheckBox(QStringLiteral("Reopen last document on launch"), box);
    m_reopen->setObjectName(QStringLiteral("reopenLastDocument"));
    column->addWidget(m_reopen);

    connect(m_autoCheck, &QCheckBox::toggled, this, [this](bool on) {
        if (m_host)
            m_host->setAutomaticallyChecksForUpdates(on);
    });
    connect(checkNow, &QPushButton::clicked, this, [this] {
        if (m_host)
            m_host->checkForUpdates();
    });
    connect(m_reopen, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_host)
            return;
        m_host->setReopenLastDocument(on);
        m_preferences.defaults().setValue(QLatin1String(preference_key::reopenLastDocument), on);
        m_preferences.defaults().sync();
    });
}

void SettingsWindow::buildAudio(QVBoxLayout *page)
{
    QVBoxLayout *column = nullptr;
    QGroupBox *box = addBox(page, QStringLiteral("Audio"), &column);

    m_microphone = new QComboBox;
    m_microphone->setObjectName(QStringLiteral("microphone"));
    m_microphoneRow = pickerRow(QStringLiteral("Microphone"), m_microphone, box);
    column->addWidget(m_microphoneRow);

    auto *systemAudio = new QVBoxLayout;
    systemAudio->setSpacing(2);
    m_systemAudio = new QCheckBox(QStringLiteral("Capture system audio"), box);
    m_systemAudio->setObjectName(QStringLiteral("captureSystemAudio"));
    systemAudio->addWidget(m_systemAudio);
    systemAudio->addWidget(captionLabel(
        QStringLiteral("Records app/system audio as a separate track. Use headphones — otherwise your mic also "
                       "picks up the speakers, doubling the sound."),
        box));
    column->addLayout(systemAudio);

    auto *level = new QVBoxLayout;
    level->setSpacing(2);
    auto *levelRow = new QWidget(box);
    levelRow->setMaximumWidth(kPickerMaxWidth);
    auto *levelLine = new QHBoxLayout(levelRow);
    levelLine->setContentsMargins(0, 0, 0, 0);
    levelLine->addWidget(new QLabel(QStringLiteral("System audio level"), levelRow), 0, Qt::AlignVCenter);
    m_level = new AppKitSlider(m_host ? m_host->systemAudioMixLevel() : 0, 0.0, 1.0, levelRow);
    m_level->setObjectName(QStringLiteral("systemAudioLevel"));
    new RecommendedLevelTick(m_level);
    levelLine->addWidget(m_level, 1, Qt::AlignVCenter);
    m_levelText = new QLabel(levelRow);
    m_levelText->setObjectName(QStringLiteral("systemAudioLevelText"));
    m_levelText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_levelText->setFixedWidth(40);
    m_levelText->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    levelLine->addWidget(m_levelText, 0, Qt::AlignVCenter);
    level->addWidget(levelRow);
    level->addWidget(captionLabel(
        QStringLiteral("Volume of the system audio relative to your voice in the exported (single-track) video and "
                       "its preview. The tick marks the recommended %1%. Your mic stays at full volume; the Final "
                       "Cut export keeps both tracks unmixed.")
            .arg(30),
        box));
    column->addLayout(level);

    connect(m_microphone, &QComboBox::activated, this, [this](int index) {
        if (!m_host)
            return;
        const QString id = m_microphone->itemData(index).toString();
        m_host->selectMicrophone(id.isEmpty() ? std::nullopt : std::optional<QString>(id));
    });
    connect(m_systemAudio, &QCheckBox::toggled, this, [this](bool on) {
        if (m_host)
            m_host->setCaptureSystemAudio(on);
    });
    connect(m_level, &AppKitSlider::valueChanged, this, &SettingsWindow::levelMoved);
}

void SettingsWindow::buildVideo(QVBoxLayout *page)
{
    QVBoxLayout *column = nullptr;
    QGroupBox *box = addBox(page, QStringLiteral("Video"), &column);

    auto *cursor = new QHBoxLayout;
    m_hideCursor = new QCheckBox(QStringLiteral("Hide cursor while idle when recording after"), box);
    m_hideCursor->setObjectName(QStringLiteral("hideCursorWhenIdle"));
    m_delay = new QDoubleSpinBox(box);
    m_delay->setObjectName(QStringLiteral("cursorHideDelay"));
    // "2.0 s" whatever the user's locale.
    m_delay->setLocale(QLocale::c());
    m_delay->setRange(0.5, 10.0);
    m_delay->setSingleStep(0.5);
    m_delay->setDecimals(1);
    m_delay->setSuffix(QStringLiteral(" s"));
    m_delay->setKeyboardTracking(false);
    cursor->addWidget(m_hideCursor);
    cursor->addStretch(1);
    cursor->addWidget(m_delay);
    column->addLayout(cursor);

    m_display = new QComboBox;
    m_display->setObjectName(QStringLiteral("recordScreen"));
    m_displayRow = pickerRow(QStringLiteral("Record screen"), m_display, box);
    column->addWidget(m_displayRow);

    connect(m_hideCursor, &QCheckBox::toggled, this, [this](bool on) {
        if (m_host)
            m_host->setHideCursorWhenIdle(on);
    });
    connect(m_delay, &QDoubleSpinBox::valueChanged, this, [this](double seconds) {
        if (m_host)
            m_host->setCursorHideDelay(seconds);
    });
    connect(m_display, &QComboBox::activated, this, [this](int index) {
        if (m_host)
            m_host->selectDisplay(m_display->itemData(index).toUInt());
    });
}

void SettingsWindow::buildShortcuts(QVBoxLayout *page)
{
    QVBoxLayout *column = nullptr;
    QGroupBox *box = addBox(page, QStringLiteral("Keyboard Shortcuts"), &column);

    auto *rows = new QVBoxLayout;
    rows->setSpacing(4);
    for (ShortcutAction action : shortcut_action::allCases) {
        auto *row = new ShortcutRow(action, *m_host, m_preferences, box);
        row->setObjectName(shortcut_action::rawValue(action));
        rows->addWidget(row);
    }
    column->addLayout(rows);

    auto *restoreLine = new QHBoxLayout;
    auto *restore = new QPushButton(QStringLiteral("Restore Defaults"), box);
    restore->setObjectName(QStringLiteral("restoreDefaults"));
    restoreLine->addStretch(1);
    restoreLine->addWidget(restore);
    column->addLayout(restoreLine);

    connect(restore, &QPushButton::clicked, this, &SettingsWindow::restoreDefaultShortcuts);

}

void SettingsWindow::buildShortcutsNote(QVBoxLayout *page)
{
    // The desktop's portal answers a while after launch, perhaps after this window is built: the
    // label is always made and follows every later note. It heads the page, where it is seen at
    // the window's size: the shortcuts themselves lie below the fold.
    auto *note = new QLabel(shortcutsNote(), page->parentWidget());
    note->setObjectName(QStringLiteral("shortcutsNote"));
    note->setWordWrap(true);
    note->setVisible(!note->text().isEmpty());
    page->addWidget(note);
    shownShortcutsNotes().push_back(note);
}

namespace {
QString &storedShortcutsNote()
{
    static QString note;
    return note;
}
} // namespace

std::vector<QPointer<QLabel>> &SettingsWindow::shownShortcutsNotes()
{
    static std::vector<QPointer<QLabel>> labels;
    std::erase_if(labels, [](const QPointer<QLabel> &label) { return label.isNull(); });
    return labels;
}

void SettingsWindow::setShortcutsNote(const QString &note)
{
    storedShortcutsNote() = note;
    for (const QPointer<QLabel> &label : shownShortcutsNotes()) {
        label->setText(note);
        label->setVisible(!note.isEmpty());
    }
}

QString SettingsWindow::shortcutsNote()
{
    return storedShortcutsNote();
}

void SettingsWindow::refresh()
{
    if (!m_host)
        return;
    const SettingsHost &host = *m_host;
    const bool recording = host.isRecording();

    const QSignalBlocker blockAutoCheck(m_autoCheck);
    m_autoCheck->setChecked(host.automaticallyChecksForUpdates());
    const QSignalBlocker blockReopen(m_reopen);
    m_reopen->setChecked(host.reopenLastDocument());

    const QSignalBlocker blockMicrophone(m_microphone);
    m_microphone->clear();
    m_microphone->addItem(QStringLiteral("System Default"), QString());
    for (const MicOption &option : host.availableMicrophones())
        m_microphone->addItem(option.name, option.id);
    m_microphone->setCurrentIndex(m_microphone->findData(host.selectedMicrophoneID().value_or(QString())));
    m_microphoneRow->setEnabled(!recording);

    const QSignalBlocker blockSystemAudio(m_systemAudio);
    m_systemAudio->setChecked(host.captureSystemAudio());
    m_systemAudio->setEnabled(!recording);
    m_level->setValue(host.systemAudioMixLevel());
    m_levelText->setText(levelText(host.systemAudioMixLevel()));

    const QSignalBlocker blockHideCursor(m_hideCursor);
    m_hideCursor->setChecked(host.hideCursorWhenIdle());
    const QSignalBlocker blockDelay(m_delay);
    m_delay->setValue(host.cursorHideDelay());
    m_delay->setEnabled(host.hideCursorWhenIdle());

    const std::vector<DisplayOption> displays = host.availableDisplays();
    const QSignalBlocker blockDisplay(m_display);
    m_display->clear();
    for (const DisplayOption &display : displays)
        m_display->addItem(display.label(), display.id);
    const uint32_t shown = host.selectedDisplayID().value_or(displays.empty() ? 0 : displays.front().id);
    m_display->setCurrentIndex(m_display->findData(shown));
    m_displayRow->setVisible(displays.size() >= 2);
}

void SettingsWindow::levelMoved(double level)
{
    const double stored = snappedLevel(level);
    m_levelText->setText(levelText(stored));
    if (!m_host)
        return;
    m_host->setSystemAudioMixLevel(stored);
    m_preferences.defaults().setValue(QLatin1String(preference_key::systemAudioMixLevel), stored);
    m_preferences.defaults().sync();
}

void SettingsWindow::restoreDefaultShortcuts()
{
    m_preferences.defaults().remove(QLatin1String(preference_key::customShortcuts));
    m_preferences.defaults().sync();
    if (m_host)
        m_host->shortcutBindingChanged();
}

void SettingsWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_host)
        m_host->refreshDisplays();
}

} // namespace lumacast
