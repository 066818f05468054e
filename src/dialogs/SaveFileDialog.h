#pragma once

#include <QFileDialog>

namespace lumacast {

// A save dialog that takes the name typed as it stands. Qt's own reads double quotes as a list
// of names (`My "Best" Talk` would save "Best") and adds the suffix only to a name without a dot
// (`Demo v1.5` would stay without it).
//
// With a suffix, the path saved to ends in it, and a typed name of a folder opens that folder, as
// in any save dialog. Without one (an export package, which is a folder), a typed name of an
// existing folder is the item saved. Either way an existing item is replaced only once the user
// agreed; whether it may be replaced is for the save itself to decide.
class SaveFileDialog : public QFileDialog {
    Q_OBJECT
public:
    // `suffix` without its dot; empty for none.
    SaveFileDialog(QWidget *parent, const QString &caption, const QString &directory,
                   const QString &nameFilter, const QString &suffix);

    // Once accepted: the path typed, or the one a native dialog answered, with the suffix.
    QString chosenPath() const;

    // The path a name typed in `folder` stands for: relative to it unless it is absolute (or
    // starts with "~/"), with `suffix` added unless the name ends in it already.
    static QString typedPath(const QString &folder, const QString &typed, const QString &suffix);

    void accept() override;

private:
    QString m_suffix;
    QString m_chosen;
};

} // namespace lumacast
