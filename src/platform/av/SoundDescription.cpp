#include "platform/av/SoundDescription.h"

#include "platform/av/MovieStructure.h"

#include <QFile>
#include <QtEndian>

namespace lumacast::av {

namespace {

constexpr int kVersion0Fields = 36; // box header, reserved, reference index, the sound fields
constexpr int kVersion1Extra = 16;  // samples per packet, bytes per packet, per frame, per sample

std::uint32_t be32(const QByteArray &data, qsizetype at)
{
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(data.constData()) + at);
}

QByteArray box(const QByteArray &type, const QByteArray &payload)
{
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size() + 8), reinterpret_cast<uchar *>(out.data()));
    return out + type + payload;
}

QByteArray rebuild(const QByteArray &type, const QByteArray &payload);

// The children of a container box, each rebuilt.
QByteArray rebuildChildren(const QByteArray &payload, int from)
{
    QByteArray out = payload.left(from);
    for (const auto &[type, child] : boxes::childBoxes(payload, from))
        out += rebuild(type, child);
    return out;
}

QByteArray rebuildSampleDescriptions(const QByteArray &payload)
{
    if (payload.size() < 8)
        return box("stsd", payload);
    QByteArray out = payload.left(8); // version, flags, entry count
    for (const auto &[type, child] : boxes::childBoxes(payload, 8))
        out += soundEntryVersion0(box(type, child));
    return box("stsd", out);
}

QByteArray rebuild(const QByteArray &type, const QByteArray &payload)
{
    if (type == "trak" || type == "mdia" || type == "minf" || type == "stbl")
        return box(type, rebuildChildren(payload, 0));
    if (type == "stsd")
        return rebuildSampleDescriptions(payload);
    return box(type, payload);
}

} // namespace

QByteArray soundEntryVersion0(const QByteArray &entry)
{
    if (entry.size() < kVersion0Fields + kVersion1Extra || entry.mid(4, 4) != "mp4a")
        return entry;
    const auto version = qFromBigEndian<quint16>(reinterpret_cast<const uchar *>(entry.constData()) + 16);
    if (version != 1)
        return entry;
    QByteArray children;
    bool hasEsds = false;
    for (const auto &[type, payload] : boxes::childBoxes(entry, kVersion0Fields + kVersion1Extra)) {
        if (type == "wave") {
            for (const auto &[inner, innerPayload] : boxes::childBoxes(payload, 0))
                if (inner == "esds") {
                    children += box(inner, innerPayload);
                    hasEsds = true;
                }
        } else {
            hasEsds = hasEsds || type == "esds";
            children += box(type, payload);
        }
    }
    if (!hasEsds)
        return entry;
    QByteArray fields = entry.mid(8, kVersion0Fields - 8);
    fields[8] = fields[9] = '\0';   // version 0
    fields[18] = '\0';              // sample size 16
    fields[19] = char(16);
    fields[20] = fields[21] = '\0'; // compression id
    fields[22] = fields[23] = '\0'; // packet size
    return box("mp4a", fields + children);
}

void rewriteSoundDescriptions(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        throw MediaError(MediaError::mediaDomain(), MediaError::CannotOpen,
                         QStringLiteral("The movie \u201C%1\u201D could not be opened.").arg(path), file.errorString());
    // The last top-level box.
    const qint64 size = file.size();
    qint64 pos = 0, last = -1, lastSize = 0;
    while (size - pos >= 8) {
        file.seek(pos);
        const QByteArray header = file.read(16);
        if (header.size() < 8)
            return;
        qint64 boxSize = be32(header, 0);
        if (boxSize == 1 && header.size() == 16)
            boxSize = qint64(qFromBigEndian<quint64>(reinterpret_cast<const uchar *>(header.constData()) + 8));
        else if (boxSize == 0)
            boxSize = size - pos;
        if (boxSize < 8 || boxSize > size - pos)
            return;
        last = pos;
        lastSize = boxSize;
        pos += boxSize;
    }
    if (last < 0 || lastSize > 512ll * 1024 * 1024 || !file.seek(last))
        return;
    const QByteArray moov = file.read(lastSize);
    if (moov.size() != lastSize || moov.mid(4, 4) != "moov" || be32(moov, 0) != quint32(lastSize))
        return;
    const QByteArray rewritten = box("moov", rebuildChildren(moov.mid(8), 0));
    if (rewritten == moov || rewritten.size() > moov.size())
        return;
    if (!file.seek(last) || file.write(rewritten) != rewritten.size() || !file.resize(last + rewritten.size())
        || !file.flush())
        throw MediaError(MediaError::mediaDomain(), MediaError::WriteFailed,
                         QStringLiteral("The movie \u201C%1\u201D could not be written.").arg(path), file.errorString());
}

} // namespace lumacast::av
