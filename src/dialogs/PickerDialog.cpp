#include "dialogs/PickerDialog.h"

#include "model/LogCategories.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <unistd.h>

namespace lumacast {

namespace {
constexpr int kWindowIdRole = Qt::UserRole + 1;

QPixmap thumbnailFor(uint32_t window)
{
    QPixmap canvas(PickerDialog::kThumbnailSize);
    canvas.fill(Qt::transparent);
    const QImage image = x11::grabWindowImage(window);
    if (image.isNull())
        return canvas;
    const QImage scaled = image.scaled(PickerDialog::kThumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter p(&canvas);
    p.drawImage((canvas.width() - scaled.width()) / 2, (canvas.height() - scaled.height()) / 2, scaled);
    return canvas;
}
} // namespace

PickerDialog::PickerDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Choose a Window"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Choose the window to record:"), this));
    m_list = new QListWidget(this);
    m_list->setIconSize(kThumbnailSize);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setUniformItemSizes(true);
    layout->addWidget(m_list);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton *share = m_buttons->addButton(tr("Record Window"), QDialogButtonBox::AcceptRole);
    share->setEnabled(false);
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QListWidget::itemSelectionChanged, this,
            [this, share] { share->setEnabled(!m_list->selectedItems().isEmpty()); });
    connect(m_list, &QListWidget::itemActivated, this, [this] { accept(); });
    resize(560, 480);
}

void PickerDialog::reload()
{
    m_list->clear();
    m_windows.clear();
    const auto content = x11::fetchShareableContent(true);
    const uint32_t ownPid = uint32_t(getpid());
    for (const auto &w : content.windows) {
        if (w.pid && *w.pid == ownPid)
            continue; // the recorder's own windows are never offered
        m_windows.push_back(w);
        const QString title = w.title.isEmpty() ? tr("Untitled window") : w.title;
        const QString app = w.applicationName.isEmpty() ? tr("Unknown application") : w.applicationName;
        auto *item = new QListWidgetItem(QIcon(thumbnailFor(w.id)), title + QLatin1Char('\n') + app, m_list);
        item->setData(kWindowIdRole, QVariant::fromValue<uint>(w.id));
        item->setToolTip(title);
    }
}

std::optional<x11::WindowInfo> PickerDialog::selectedWindow() const
{
    const auto items = m_list->selectedItems();
    if (items.isEmpty())
        return std::nullopt;
    const uint32_t id = items.front()->data(kWindowIdRole).toUInt();
    for (const auto &w : m_windows) {
        if (w.id == id)
            return w;
    }
    return std::nullopt;
}

void PickerDialog::selectWindow(uint32_t id)
{
    for (int i = 0; i < m_list->count(); ++i) {
        if (m_list->item(i)->data(kWindowIdRole).toUInt() == id) {
            m_list->setCurrentRow(i);
            return;
        }
    }
}

WindowSharingPicker::~WindowSharingPicker()
{
    delete m_dialog;
}

void WindowSharingPicker::addObserver(SharingPickerObserver *observer)
{
    if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void WindowSharingPicker::removeObserver(SharingPickerObserver *observer)
{
    std::erase(m_observers, observer);
}

void WindowSharingPicker::setActive(bool active)
{
    m_active = active;
    if (!active && m_dialog && m_dialog->isVisible()) {
        // Deactivating takes the picker down without another outcome.
        m_dialog->blockSignals(true);
        m_dialog->reject();
        m_dialog->blockSignals(false);
        m_asking.release();
    }
}

template <class F> void WindowSharingPicker::notify(F &&f)
{
    // Observers remove themselves while being told.
    const auto observers = m_observers;
    for (SharingPickerObserver *o : observers)
        f(o);
}

void WindowSharingPicker::present()
{
    if (!m_active) {
        qCWarning(lumacast::log::recorder(), "window picker presented while inactive; ignored");
        return;
    }
    if (!m_dialog) {
        m_dialog = new PickerDialog;
        connect(m_dialog, &QDialog::finished, this, [this](int result) {
            m_asking.release();
            const auto picked = m_dialog->selectedWindow();
            if (result == QDialog::Accepted && picked) {
                const auto frame = x11::windowFrame(picked->id).value_or(picked->frame);
                auto filter = ContentFilter::forWindow(picked->id, QRectF(frame));
                notify([&](SharingPickerObserver *o) { o->pickerDidUpdate(filter); });
            } else {
                notify([](SharingPickerObserver *o) { o->pickerDidCancel(); });
            }
        });
    }
    try {
        m_dialog->reload();
    } catch (const x11::X11Error &failure) {
        notify([&](SharingPickerObserver *o) { o->pickerStartDidFail(failure); });
        return;
    }
    if (!m_asking.isHeld())
        m_asking = InteractionGate::shared().hold(InteractionGate::Kind::asking);
    m_dialog->open();
    m_dialog->raise();
    m_dialog->activateWindow();
}

void WindowSharingPicker::installAsShared()
{
    static WindowSharingPicker *instance = new WindowSharingPicker; // lives for the whole process
    SharingPicker::installShared(*instance);
}

} // namespace lumacast
