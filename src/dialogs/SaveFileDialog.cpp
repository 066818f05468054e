#include "dialogs/SaveFileDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>

namespace lumacast {

namespace {

QString expandedHome(const QString &typed)
{
    return typed.startsWith(QLatin1String("~/")) ? QDir::homePath() + typed.mid(1) : typed;
}

QString withSuffix(const QString &path, const QString &suffix)
{
    if (suffix.isEmpty() || path.endsWith(QLatin1Char('.') + suffix))
        return path;
    return path + QLatin1Char('.') + suffix;
}

} // namespace

SaveFileDialog::SaveFileDialog(QWidget *parent, const QString &caption, const QString &directory,
                               const QString &nameFilter, const QString &suffix)
    : QFileDialog(parent, caption, directory, nameFilter), m_suffix(suffix)
{
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setDefaultSuffix(suffix);
}

QString SaveFileDialog::chosenPath() const
{
    if (!m_chosen.isEmpty())
        return m_chosen;
    const QStringList answered = selectedFiles();
    return answered.isEmpty() ? QString() : withSuffix(answered.first(), m_suffix);
}

QString SaveFileDialog::typedPath(const QString &folder, const QString &typed, const QString &suffix)
{
    return withSuffix(QDir::cleanPath(QDir(folder).absoluteFilePath(expandedHome(typed))), suffix);
}

void SaveFileDialog::accept()
{
    auto *nameEdit = findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    const QString typed = nameEdit ? nameEdit->text() : QString();
    // A native dialog answers for itself; moving between folders stays Qt's.
    if (!nameEdit || typed.isEmpty() || typed == QLatin1String(".") || typed == QLatin1String("..")
        || typed.endsWith(QLatin1Char('/'))) {
        QFileDialog::accept();
        return;
    }
    const QString folder = directory().absolutePath();
    const QString named = QDir::cleanPath(QDir(folder).absoluteFilePath(expandedHome(typed)));
    if (withSuffix(named, m_suffix) != named && QFileInfo(named).isDir()) {
        setDirectory(named);
        nameEdit->clear();
        return;
    }
    const QString path = typedPath(folder, typed, m_suffix);
    const QFileInfo existing(path);
    if (existing.exists() || existing.isSymLink()) {
        const auto answer = QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("\u201C%1\u201D already exists. Do you want to replace it?").arg(existing.fileName()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }
    m_chosen = path;
    QDialog::accept();
}

} // namespace lumacast
