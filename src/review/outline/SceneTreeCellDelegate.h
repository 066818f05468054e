#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QUuid>

namespace lumacast {

// Draws the outline's rows and runs their inline rename.
//
// A scene row: its name (bold for the current scene), a yellow "skipped" badge when no take is
// checked, and a trash button when the session has two scenes or more. A take row: a check
// button (a dotted red circle, disabled, for the take under review), its name, and its kept
// length or "reviewing" at the trailing edge.
//
// Rename: Return commits the typed name (as typed: the host decides what an empty or unchanged
// name means); Escape, Tab, Back-Tab and a click elsewhere close the editor without committing,
// and the row shows its stored name again at once. An edit commits at most once.
//
// Button presses and commits are only announced through the signals; the delegate changes
// nothing itself. Main thread only.
class SceneTreeCellDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The buttons' places inside a row's rectangle (view coordinates), for drawing and hits.
    static QRect trashRect(const QRect &cell);
    static QRect checkRect(const QRect &cell);
    // The row button under `position` (view coordinates): the trash button when it is shown,
    // the check button unless the take is under review.
    enum class Button { none, trash, check };
    static Button buttonAt(const QModelIndex &index, const QRect &cell, const QPoint &position);
    // Announces a click of that button of that row.
    void clickButton(Button button, const QModelIndex &index);
    // Where the name (and the rename field) goes.
    static QRect labelRect(const QModelIndex &index, const QRect &cell, const QFont &font);

    // The rename field while one is open.
    QLineEdit *openEditor() const { return m_openEditor; }
    // The row the open rename field belongs to; null without one.
    QUuid openEditorItem() const;

    // The red of a take under review and the yellow of a skipped scene, in a tone that reads on
    // the row's background (the selection's highlight or the view's base) at a contrast of at
    // least `minimumContrast`: the accent made darker or lighter as far as that takes.
    enum class Accent { reviewing, skipped };
    static QColor accentColor(Accent accent, const QPalette &palette, bool selected);
    // The contrast ratio of two opaque colours from their relative luminance (1 to 21).
    static double contrastRatio(const QColor &a, const QColor &b);
    static constexpr double minimumContrast = 4.5;

    // Sizes beside a 13-point row font, scaled to the row's own.
    static constexpr int badgePointSize = 10;
    static constexpr int trailingPointSize = 11;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void destroyEditor(QWidget *editor, const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model,
                      const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

signals:
    void deleteSceneRequested(const QUuid &sceneID);
    void toggleCheckRequested(const QUuid &takeID);
    void renameCommitted(const QUuid &itemID, const QString &name);
    // True when a rename field opens, false when it closes (however it closes).
    void editingChanged(bool editing) const;

protected:
    bool eventFilter(QObject *object, QEvent *event) override;

private:
    void finishEditing(QWidget *editor, bool commit);
    void paintScene(QPainter *painter, const QStyleOptionViewItem &option,
                    const QModelIndex &index) const;
    void paintTake(QPainter *painter, const QStyleOptionViewItem &option,
                   const QModelIndex &index) const;

    mutable QPointer<QLineEdit> m_openEditor; // set by the (const) createEditor
};

} // namespace lumacast
