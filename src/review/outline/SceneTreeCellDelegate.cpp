#include "review/outline/SceneTreeCellDelegate.h"

#include "review/outline/SceneOutlineModel.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace lumacast {

namespace {

const char *const kItemIDProperty = "lumacastOutlineItem";
const char *const kFilledProperty = "lumacastOutlineEditorFilled";
const char *const kFinishingProperty = "lumacastOutlineEditorFinishing";

constexpr int kButtonSide = 16;

const QColor kSystemRed(255, 59, 48);
const QColor kSystemYellow(255, 204, 0);

double relativeLuminance(const QColor &color)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) + 0.0722 * linear(color.blueF());
}

// The accent's hue and saturation at the first lightness, stepping away from `background`, that
// reads on it; black or white reach it on any background.
QColor legibleTone(const QColor &accent, const QColor &background)
{
    if (SceneTreeCellDelegate::contrastRatio(accent, background) >= SceneTreeCellDelegate::minimumContrast)
        return accent;
    const bool darker = SceneTreeCellDelegate::contrastRatio(Qt::black, background)
        >= SceneTreeCellDelegate::contrastRatio(Qt::white, background);
    const QColor hsl = accent.toHsl();
    for (int step = 1; step <= 20; ++step) {
        const double t = step / 20.0;
        const double lightness = darker ? hsl.lightnessF() * (1 - t) : hsl.lightnessF() + (1 - hsl.lightnessF()) * t;
        const QColor tone = QColor::fromHslF(hsl.hslHueF(), hsl.hslSaturationF(), lightness).toRgb();
        if (SceneTreeCellDelegate::contrastRatio(tone, background) >= SceneTreeCellDelegate::minimumContrast)
            return tone;
    }
    return darker ? QColor(Qt::black) : QColor(Qt::white);
}

bool isScene(const QModelIndex &index)
{
    return index.data(SceneOutlineModel::IsSceneRole).toBool();
}

QColor secondaryColor(const QPalette &palette)
{
    QColor color = palette.color(QPalette::Text);
    color.setAlphaF(0.5);
    return color;
}

// The badge and the trailing text are 10 and 11 points beside a 13-point system font; here they
// keep those proportions to whatever size the row's font has.
QFont sizedFont(QFont font, int pointSize)
{
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * pointSize / 13.0);
    return font;
}

QString trailingText(const QModelIndex &index)
{
    return index.data(SceneOutlineModel::IsReviewingRole).toBool()
        ? QStringLiteral("reviewing")
        : index.data(SceneOutlineModel::KeptLengthRole).toString();
}

// The trailing piece of a row: the badge of a scene (whose place does not depend on whether the
// trash button is shown) or the kept length of a take.
QRect trailingRect(const QModelIndex &index, const QRect &cell, const QFont &font)
{
    if (isScene(index)) {
        const QFontMetrics metrics(sizedFont(font, SceneTreeCellDelegate::badgePointSize));
        const int width = metrics.horizontalAdvance(QStringLiteral("skipped"));
        const QRect trash = SceneTreeCellDelegate::trashRect(cell);
        return QRect(trash.left() - 6 - width, cell.top(), width, cell.height());
    }
    const QFontMetrics metrics(sizedFont(font, SceneTreeCellDelegate::trailingPointSize));
    const int width = metrics.horizontalAdvance(trailingText(index));
    return QRect(cell.right() - 4 - width + 1, cell.top(), width, cell.height());
}

void drawTrash(QPainter *painter, const QRect &r, const QColor &color)
{
    painter->setPen(QPen(color, 1.3));
    painter->setBrush(Qt::NoBrush);
    const QRectF box(r.left() + 3.5, r.top() + 4.5, r.width() - 7, r.height() - 6);
    painter->drawLine(QPointF(r.left() + 2, r.top() + 3.5), QPointF(r.right() - 1, r.top() + 3.5));
    painter->drawLine(QPointF(r.center().x() - 2, r.top() + 1.5), QPointF(r.center().x() + 3, r.top() + 1.5));
    painter->drawRoundedRect(box, 1.5, 1.5);
    for (double x : {box.left() + box.width() / 3, box.left() + 2 * box.width() / 3})
        painter->drawLine(QPointF(x, box.top() + 2), QPointF(x, box.bottom() - 2));
}

void drawCheck(QPainter *painter, const QRect &r, bool checked, bool reviewing,
               const QPalette &palette, bool selected)
{
    const QRectF circle = QRectF(r).adjusted(1.5, 1.5, -1.5, -1.5);
    if (reviewing) {
        QPen pen(SceneTreeCellDelegate::accentColor(SceneTreeCellDelegate::Accent::reviewing, palette, selected), 1.5);
        pen.setDashPattern({1.0, 2.0});
        painter->setPen(pen);
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(circle);
    } else if (checked) {
        painter->setPen(Qt::NoPen);
        // On a selected row the highlight would swallow an accent-coloured mark.
        const QColor fill = palette.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Highlight);
        const QColor mark = selected ? palette.color(QPalette::Active, QPalette::Highlight) : QColor(Qt::white);
        painter->setBrush(fill);
        painter->drawEllipse(circle);
        QPainterPath tick;
        tick.moveTo(circle.left() + circle.width() * 0.27, circle.top() + circle.height() * 0.52);
        tick.lineTo(circle.left() + circle.width() * 0.44, circle.top() + circle.height() * 0.70);
        tick.lineTo(circle.left() + circle.width() * 0.74, circle.top() + circle.height() * 0.32);
        painter->setPen(QPen(mark, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        painter->drawPath(tick);
    } else {
        painter->setPen(QPen(secondaryColor(palette), 1.3));
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(circle);
    }
}

} // namespace

QUuid SceneTreeCellDelegate::openEditorItem() const
{
    return m_openEditor ? m_openEditor->property(kItemIDProperty).toUuid() : QUuid();
}

QRect SceneTreeCellDelegate::trashRect(const QRect &cell)
{
    return QRect(cell.right() - 2 - kButtonSide + 1, cell.center().y() - kButtonSide / 2 + 1,
                 kButtonSide, kButtonSide);
}

QRect SceneTreeCellDelegate::checkRect(const QRect &cell)
{
    return QRect(cell.left() + 2, cell.center().y() - kButtonSide / 2 + 1, kButtonSide, kButtonSide);
}

QRect SceneTreeCellDelegate::labelRect(const QModelIndex &index, const QRect &cell, const QFont &font)
{
    if (isScene(index)) {
        const bool skipped = index.data(SceneOutlineModel::IsSkippedRole).toBool();
        // A long name stops short of the badge when it is shown, else of the trash button.
        const int right = skipped ? trailingRect(index, cell, font).left() - 6
                                  : trashRect(cell).left() - 6;
        return QRect(QPoint(cell.left() + 2, cell.top()), QPoint(right, cell.bottom()));
    }
    const int left = checkRect(cell).right() + 1 + 6;
    const int right = trailingRect(index, cell, font).left() - 6;
    return QRect(QPoint(left, cell.top()), QPoint(right, cell.bottom()));
}

void SceneTreeCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                  const QModelIndex &index) const
{
    QStyleOptionViewItem panel = option;
    initStyleOption(&panel, index);
    panel.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (isScene(index))
        paintScene(painter, option, index);
    else
        paintTake(painter, option, index);
    painter->restore();
}

void SceneTreeCellDelegate::paintScene(QPainter *painter, const QStyleOptionViewItem &option,
                                       const QModelIndex &index) const
{
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette &palette = option.palette;
    QFont font = option.font;
    font.setBold(index.data(SceneOutlineModel::IsCurrentSceneRole).toBool());
    const QRect label = labelRect(index, option.rect, option.font);
    painter->setFont(font);
    painter->setPen(palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    const QString name = index.data(Qt::DisplayRole).toString();
    painter->drawText(label, Qt::AlignVCenter | Qt::AlignLeft,
                      QFontMetrics(font).elidedText(name, Qt::ElideRight, label.width()));

    if (index.data(SceneOutlineModel::IsSkippedRole).toBool()) {
        painter->setFont(sizedFont(option.font, badgePointSize));
        painter->setPen(accentColor(Accent::skipped, palette, selected));
        painter->drawText(trailingRect(index, option.rect, option.font),
                          Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("skipped"));
    }
    if (index.data(SceneOutlineModel::ShowsTrashRole).toBool())
        drawTrash(painter, trashRect(option.rect),
                  palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
}

double SceneTreeCellDelegate::contrastRatio(const QColor &a, const QColor &b)
{
    const double la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor SceneTreeCellDelegate::accentColor(Accent accent, const QPalette &palette, bool selected)
{
    const QColor background = palette.color(selected ? QPalette::Highlight : QPalette::Base);
    return legibleTone(accent == Accent::reviewing ? kSystemRed : kSystemYellow, background);
}

void SceneTreeCellDelegate::paintTake(QPainter *painter, const QStyleOptionViewItem &option,
                                      const QModelIndex &index) const
{
    const bool selected = option.state & QStyle::State_Selected;
    const bool reviewing = index.data(SceneOutlineModel::IsReviewingRole).toBool();
    const bool checked = index.data(SceneOutlineModel::IsCheckedRole).toBool();
    const QPalette &palette = option.palette;
    drawCheck(painter, checkRect(option.rect), checked, reviewing, palette, selected);

    const QRect label = labelRect(index, option.rect, option.font);
    painter->setFont(option.font);
    const QColor reviewingColor = accentColor(Accent::reviewing, palette, selected);
    painter->setPen(reviewing ? reviewingColor
                              : palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    const QString name = index.data(Qt::DisplayRole).toString();
    painter->drawText(label, Qt::AlignVCenter | Qt::AlignLeft,
                      QFontMetrics(option.font).elidedText(name, Qt::ElideRight, label.width()));

    QColor trailingColor = secondaryColor(palette);
    if (reviewing)
        trailingColor = reviewingColor;
    painter->setFont(sizedFont(option.font, trailingPointSize));
    painter->setPen(trailingColor);
    painter->drawText(trailingRect(index, option.rect, option.font), Qt::AlignVCenter | Qt::AlignLeft,
                      trailingText(index));
}

QSize SceneTreeCellDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max({size.height(), QFontMetrics(option.font).height() + 8, kButtonSide + 6}));
    return size;
}

SceneTreeCellDelegate::Button SceneTreeCellDelegate::buttonAt(const QModelIndex &index, const QRect &cell,
                                                              const QPoint &position)
{
    if (!index.isValid())
        return Button::none;
    if (isScene(index)) {
        return index.data(SceneOutlineModel::ShowsTrashRole).toBool() && trashRect(cell).contains(position)
            ? Button::trash
            : Button::none;
    }
    return !index.data(SceneOutlineModel::IsReviewingRole).toBool() && checkRect(cell).contains(position)
        ? Button::check
        : Button::none;
}

void SceneTreeCellDelegate::clickButton(Button button, const QModelIndex &index)
{
    const QUuid id = SceneOutlineModel::itemID(index);
    if (button == Button::trash)
        emit deleteSceneRequested(id);
    else if (button == Button::check)
        emit toggleCheckRequested(id);
}

QWidget *SceneTreeCellDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                             const QModelIndex &index) const
{
    auto *editor = new QLineEdit(parent);
    editor->setFrame(true);
    editor->setProperty(kItemIDProperty, SceneOutlineModel::itemID(index));
    m_openEditor = editor;
    emit editingChanged(true);
    return editor;
}

void SceneTreeCellDelegate::destroyEditor(QWidget *editor, const QModelIndex &index) const
{
    QStyledItemDelegate::destroyEditor(editor, index);
    emit editingChanged(false);
}

void SceneTreeCellDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    // The view refills editors whenever their row's data changes (a trim while renaming, say);
    // only the first fill is ours, later ones would throw away what the user typed.
    if (editor->property(kFilledProperty).toBool())
        return;
    editor->setProperty(kFilledProperty, true);
    auto *line = static_cast<QLineEdit *>(editor);
    line->setText(index.data(Qt::EditRole).toString());
    line->selectAll();
}

void SceneTreeCellDelegate::setModelData(QWidget *, QAbstractItemModel *, const QModelIndex &) const
{
    // Names reach the session through renameCommitted and the host only.
}

void SceneTreeCellDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                                 const QModelIndex &index) const
{
    QRect rect = labelRect(index, option.rect, option.font);
    rect.setLeft(rect.left() - 2);
    rect.setRight(std::max(rect.right(), rect.left() + 60));
    const int height = std::min(option.rect.height(), editor->sizeHint().height());
    rect.setTop(option.rect.center().y() - height / 2 + 1);
    rect.setHeight(height);
    editor->setGeometry(rect);
}

void SceneTreeCellDelegate::finishEditing(QWidget *editor, bool commit)
{
    if (editor->property(kFinishingProperty).toBool())
        return;
    editor->setProperty(kFinishingProperty, true);
    if (commit) {
        emit renameCommitted(editor->property(kItemIDProperty).toUuid(),
                             static_cast<QLineEdit *>(editor)->text());
    }
    // No commitData: a closed edit that did not commit leaves the stored name showing.
    emit closeEditor(editor, QAbstractItemDelegate::NoHint);
}

bool SceneTreeCellDelegate::eventFilter(QObject *object, QEvent *event)
{
    auto *editor = qobject_cast<QLineEdit *>(object);
    if (!editor)
        return QStyledItemDelegate::eventFilter(object, event);
    switch (event->type()) {
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            finishEditing(editor, true);
            return true;
        }
        if (key == Qt::Key_Escape || key == Qt::Key_Tab || key == Qt::Key_Backtab) {
            finishEditing(editor, false);
            return true;
        }
        return false;
    }
    case QEvent::ShortcutOverride: {
        // Keep the window's shortcuts from stealing the keys that close the field.
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
            event->accept();
            return true;
        }
        return false;
    }
    case QEvent::FocusOut: {
        // A menu or another window taking the focus for a moment does not end the edit.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason)
            return false;
        finishEditing(editor, false);
        return false;
    }
    default:
        return false;
    }
}

} // namespace lumacast
