#include "platform/av/FormatDescription.h"

#include "platform/av/MovieStructure.h"

#include <QtEndian>

#include <cmath>
#include <cstring>

namespace lumacast::av {

namespace {

std::uint32_t be32(const QByteArray &d, qsizetype at)
{
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(d.constData()) + at);
}
std::uint16_t be16(const QByteArray &d, qsizetype at)
{
    return qFromBigEndian<quint16>(reinterpret_cast<const uchar *>(d.constData()) + at);
}

void put32(QByteArray &out, std::uint32_t v)
{
    char b[4];
    qToBigEndian<quint32>(v, b);
    out.append(b, 4);
}
void put16(QByteArray &out, std::uint16_t v)
{
    char b[2];
    qToBigEndian<quint16>(v, b);
    out.append(b, 2);
}
QByteArray box(const char *type, const QByteArray &payload)
{
    QByteArray out;
    put32(out, std::uint32_t(payload.size() + 8));
    out.append(type, 4);
    out.append(payload);
    return out;
}

// An MPEG-4 descriptor length: up to four 7-bit groups with a continuation bit.
bool readDescriptorLength(const QByteArray &d, qsizetype &pos, qsizetype &length)
{
    length = 0;
    for (int i = 0; i < 4; ++i) {
        if (pos >= d.size())
            return false;
        const std::uint8_t b = std::uint8_t(d[pos++]);
        length = (length << 7) | (b & 0x7F);
        if (!(b & 0x80))
            return true;
    }
    return true;
}

QByteArray descriptor(std::uint8_t tag, const QByteArray &payload)
{
    QByteArray out;
    out.append(char(tag));
    const auto n = std::uint32_t(payload.size());
    out.append(char(0x80 | ((n >> 21) & 0x7F)));
    out.append(char(0x80 | ((n >> 14) & 0x7F)));
    out.append(char(0x80 | ((n >> 7) & 0x7F)));
    out.append(char(n & 0x7F));
    out.append(payload);
    return out;
}

// Walks the descriptors of an esds payload (after version and flags) for the object type, the
// average bit rate and the decoder-specific info.
void parseDescriptors(const QByteArray &d, qsizetype pos, qsizetype end, FormatDescription &f)
{
    while (pos + 2 <= end) {
        const std::uint8_t tag = std::uint8_t(d[pos++]);
        qsizetype length = 0;
        if (!readDescriptorLength(d, pos, length) || pos + length > end)
            return;
        const qsizetype next = pos + length;
        if (tag == 0x03 && length >= 3) {
            qsizetype p = pos + 2;
            const std::uint8_t flags = std::uint8_t(d[p++]);
            if (flags & 0x80)
                p += 2;
            if ((flags & 0x40) && p < next)
                p += 1 + std::uint8_t(d[p]);
            if (flags & 0x20)
                p += 2;
            parseDescriptors(d, p, next, f);
        } else if (tag == 0x04 && length >= 13) {
            f.objectTypeIndication = std::uint8_t(d[pos]);
            f.averageBitRate = be32(d, pos + 9);
            parseDescriptors(d, pos + 13, next, f);
        } else if (tag == 0x05) {
            f.audioSpecificConfig = d.mid(pos, length);
        }
        pos = next;
    }
}

void readAudioChildren(const QByteArray &entry, int from, FormatDescription &f)
{
    for (const auto &[type, payload] : boxes::childBoxes(entry, from)) {
        if (type == "esds" && payload.size() > 4)
            parseDescriptors(payload, 4, payload.size(), f);
        else if (type == "chan")
            f.channelLayout = payload;
        else if (type == "wave")
            readAudioChildren(payload, 0, f);
    }
}

const int kVisualChildrenOffset = 86;

} // namespace

QString mediaTypeIdentifier(MediaType type)
{
    switch (type) {
    case MediaType::Video: return QStringLiteral("vide");
    case MediaType::Audio: return QStringLiteral("soun");
    default: return QStringLiteral("othr");
    }
}

bool FormatDescription::sameFormat(const FormatDescription &o) const
{
    if (mediaType != o.mediaType || codecTag != o.codecTag || codecName != o.codecName)
        return false;
    if (mediaType == MediaType::Audio)
        return sampleRate == o.sampleRate && channels == o.channels
            && channelLayout == o.channelLayout && audioSpecificConfig == o.audioSpecificConfig
            && objectTypeIndication == o.objectTypeIndication && bitsPerSample == o.bitsPerSample;
    if (mediaType == MediaType::Video)
        return width == o.width && height == o.height && parameterSets == o.parameterSets
            && color == o.color && pixelAspect == o.pixelAspect;
    return sampleEntry == o.sampleEntry;
}

QString FormatDescription::describe() const
{
    QString text = QString::fromLatin1(codecTag) + QLatin1Char(' ') + codecName;
    if (mediaType == MediaType::Video) {
        text += QStringLiteral(" %1x%2").arg(width).arg(height);
        if (color)
            text += QStringLiteral(" colour %1/%2/%3%4")
                        .arg(color->primaries).arg(color->transfer).arg(color->matrix)
                        .arg(color->fullRange ? QStringLiteral(" full") : QString());
        if (pixelAspect)
            text += QStringLiteral(" pasp %1:%2").arg(pixelAspect->first).arg(pixelAspect->second);
        text += QStringLiteral(" config=") + QString::fromLatin1(parameterSets.toHex());
    } else if (mediaType == MediaType::Audio) {
        text += QStringLiteral(" %1 Hz %2 ch").arg(sampleRate).arg(channels);
        if (!channelLayout.isEmpty())
            text += QStringLiteral(" layout=") + QString::fromLatin1(channelLayout.toHex());
        if (!audioSpecificConfig.isEmpty())
            text += QStringLiteral(" asc=") + QString::fromLatin1(audioSpecificConfig.toHex());
        if (averageBitRate > 0)
            text += QStringLiteral(" %1 bit/s").arg(averageBitRate);
    }
    return text;
}

std::optional<FormatDescription> FormatDescription::fromSampleEntry(const QByteArray &entry,
                                                                    MediaType type)
{
    if (entry.size() < 16)
        return std::nullopt;
    FormatDescription f;
    f.mediaType = type;
    f.sampleEntry = entry;
    f.codecTag = entry.mid(4, 4);
    f.formatID = be32(entry, 4);
    f.codecName = QString::fromLatin1(f.codecTag).trimmed();

    if (type == MediaType::Video) {
        if (entry.size() < kVisualChildrenOffset)
            return std::nullopt;
        f.width = be16(entry, 32);
        f.height = be16(entry, 34);
        for (const auto &[boxType, payload] : boxes::childBoxes(entry, kVisualChildrenOffset)) {
            if (boxType == "avcC" || boxType == "hvcC")
                f.parameterSets = payload;
            else if (boxType == "colr" && payload.size() >= 10
                     && (payload.startsWith("nclc") || payload.startsWith("nclx"))) {
                ColorTags c;
                c.primaries = be16(payload, 4);
                c.transfer = be16(payload, 6);
                c.matrix = be16(payload, 8);
                c.fullRange = payload.startsWith("nclx") && payload.size() >= 11
                           && (std::uint8_t(payload[10]) & 0x80);
                f.color = c;
            } else if (boxType == "pasp" && payload.size() >= 8) {
                f.pixelAspect = std::pair<int, int>(int(be32(payload, 0)), int(be32(payload, 4)));
            }
        }
        if (f.codecTag == "avc1" || f.codecTag == "avc3")
            f.codecName = QStringLiteral("h264");
        else if (f.codecTag == "hvc1" || f.codecTag == "hev1")
            f.codecName = QStringLiteral("hevc");
        return f;
    }

    if (type == MediaType::Audio) {
        if (entry.size() < 36)
            return std::nullopt;
        const int version = be16(entry, 16);
        f.channels = be16(entry, 24);
        f.bitsPerSample = be16(entry, 26);
        f.sampleRate = be32(entry, 32) / 65536.0;
        int children = 36;
        if (version == 1) {
            children = 52;
        } else if (version == 2) {
            if (entry.size() < 72)
                return std::nullopt;
            quint64 bits = qFromBigEndian<quint64>(reinterpret_cast<const uchar *>(entry.constData()) + 40);
            double rate;
            std::memcpy(&rate, &bits, sizeof rate);
            f.sampleRate = rate;
            f.channels = int(be32(entry, 48));
            f.bitsPerSample = int(be32(entry, 56));
            children = 72;
        }
        if (entry.size() > children)
            readAudioChildren(entry, children, f);
        const QByteArray &tag = f.codecTag;
        if (tag == "mp4a") {
            const int oti = f.objectTypeIndication;
            if (oti == 0x40 || oti == 0x66 || oti == 0x67 || oti == 0x68 || oti == 0) {
                f.codecName = QStringLiteral("aac");
                f.formatID = kFormatAAC;
                f.bitsPerSample = 0;
            } else if (oti == 0x69 || oti == 0x6B) {
                f.codecName = QStringLiteral("mp3");
            }
        } else if (tag == "lpcm" || tag == "sowt" || tag == "twos" || tag == "in24" || tag == "in32"
                   || tag == "fl32" || tag == "fl64" || tag == "raw ") {
            f.formatID = kFormatLinearPCM;
            f.codecName = tag == "sowt" ? QStringLiteral("pcm_s16le")
                        : tag == "twos" ? QStringLiteral("pcm_s16be")
                        : tag == "fl32" ? QStringLiteral("pcm_f32")
                        : tag == "fl64" ? QStringLiteral("pcm_f64")
                        : tag == "in24" ? QStringLiteral("pcm_s24")
                        : tag == "in32" ? QStringLiteral("pcm_s32")
                                        : QStringLiteral("pcm");
        } else if (tag == "ac-3") {
            f.codecName = QStringLiteral("ac3");
        }
        return f;
    }
    return f;
}

QByteArray FormatDescription::toSampleEntry() const
{
    if (!sampleEntry.isEmpty())
        return sampleEntry;
    QByteArray payload(6, '\0');
    put16(payload, 1); // data reference index
    if (mediaType == MediaType::Video && codecTag.size() == 4 && !parameterSets.isEmpty()) {
        payload.append(QByteArray(16, '\0')); // version, revision, vendor, qualities
        put16(payload, std::uint16_t(width));
        put16(payload, std::uint16_t(height));
        put32(payload, 0x00480000); // 72 dpi
        put32(payload, 0x00480000);
        put32(payload, 0);
        put16(payload, 1); // frames per sample
        QByteArray name(32, '\0');
        const QByteArray label = codecName == QLatin1String("h264") ? "H.264" : codecTag;
        name[0] = char(label.size());
        name.replace(1, label.size(), label);
        payload.append(name);
        put16(payload, 0x18);
        put16(payload, 0xFFFF);
        payload.append(box(codecTag == "hvc1" || codecTag == "hev1" ? "hvcC" : "avcC", parameterSets));
        if (color) {
            QByteArray colr("nclc");
            put16(colr, std::uint16_t(color->primaries));
            put16(colr, std::uint16_t(color->transfer));
            put16(colr, std::uint16_t(color->matrix));
            payload.append(box("colr", colr));
        }
        if (pixelAspect) {
            QByteArray pasp;
            put32(pasp, std::uint32_t(pixelAspect->first));
            put32(pasp, std::uint32_t(pixelAspect->second));
            payload.append(box("pasp", pasp));
        }
        return box(codecTag.constData(), payload);
    }
    if (mediaType == MediaType::Audio && codecName == QLatin1String("aac")
        && !audioSpecificConfig.isEmpty() && channels > 0 && sampleRate > 0 && sampleRate < 65536) {
        // A QuickTime sound description, version 1, with the esds inside a 'wave' box.
        put16(payload, 1);
        put16(payload, 0);
        put32(payload, 0);
        put16(payload, std::uint16_t(channels));
        put16(payload, 16);
        put16(payload, 0xFFFE); // compression id -2: see the extension boxes
        put16(payload, 0);
        put32(payload, std::uint32_t(std::lround(sampleRate * 65536.0)));
        put32(payload, 1024); // samples per packet
        put32(payload, 0);
        put32(payload, 0);
        put32(payload, 2);

        QByteArray decoderConfig;
        decoderConfig.append(char(objectTypeIndication ? objectTypeIndication : 0x40));
        decoderConfig.append(char(0x15)); // audio stream
        decoderConfig.append(QByteArray(3, '\0'));
        put32(decoderConfig, std::uint32_t(averageBitRate));
        put32(decoderConfig, std::uint32_t(averageBitRate));
        decoderConfig.append(descriptor(0x05, audioSpecificConfig));
        QByteArray es;
        put16(es, 0);
        es.append('\0');
        es.append(descriptor(0x04, decoderConfig));
        es.append(descriptor(0x06, QByteArray(1, '\x02')));
        QByteArray esds(4, '\0');
        esds.append(descriptor(0x03, es));

        QByteArray wave = box("frma", "mp4a");
        QByteArray mp4a(4, '\0');
        wave.append(box("mp4a", mp4a));
        wave.append(box("esds", esds));
        wave.append(QByteArray("\0\0\0\x08\0\0\0\0", 8)); // terminator
        payload.append(box("wave", wave));
        if (!channelLayout.isEmpty())
            payload.append(box("chan", channelLayout));
        return box("mp4a", payload);
    }
    return {};
}

} // namespace lumacast::av
