#include "store/FileName.h"

#include <QFile>
#include <QTextBoundaryFinder>

namespace lumacast::file_name {

QString shortened(const QString &name, qsizetype bytes)
{
    if (QFile::encodeName(name).size() <= bytes)
        return name;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, name);
    qsizetype fits = 0;
    for (qsizetype end = characters.toNextBoundary(); end > 0; end = characters.toNextBoundary()) {
        if (QFile::encodeName(name.left(end)).size() > bytes)
            break;
        fits = end;
    }
    return name.left(fits);
}

} // namespace lumacast::file_name
