#include "JsonCoding.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QVariant>

#include <cmath>

namespace lumacast {

namespace {

QString kindOf(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
    }
    return QStringLiteral("nothing");
}

[[noreturn]] void typeMismatch(const QString &expected, const QString &path,
                               const QJsonValue &found)
{
    throw JsonDecodeError(
        QStringLiteral("Expected %1 at \"%2\", found %3.").arg(expected, path, kindOf(found)));
}

[[noreturn]] void badValue(const QString &expected, const QString &path)
{
    throw JsonDecodeError(QStringLiteral("Expected %1 at \"%2\".").arg(expected, path));
}

} // namespace

QString formatUuid(const QUuid &uuid)
{
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

QString formatIsoDate(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'"));
}

QDateTime parseIsoDate(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{1,9})?(Z|[+"
                       "-][0-9]{2}:[0-9]{2})$"));
    if (!form.match(text).hasMatch())
        return {};
    QDateTime date = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!date.isValid())
        return {};
    return date.toUTC();
}

std::optional<QUuid> parseUuid(const QString &text)
{
    static const QRegularExpression form(QStringLiteral(
        "^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    return QUuid::fromString(text);
}

QJsonValue encodeNumber(double value, const QString &path)
{
    // JSON has no spelling for these; writing null would make the document unreadable.
    if (!std::isfinite(value))
        throw JsonEncodeError(
            QStringLiteral("Cannot store the non-finite number at \"%1\".").arg(path));
    return QJsonValue(value);
}

QJsonValue encodeDate(const QDateTime &date, const QString &path)
{
    const QString text = formatIsoDate(date);
    if (!date.isValid() || !parseIsoDate(text).isValid())
        throw JsonEncodeError(QStringLiteral("Cannot store the date at \"%1\".").arg(path));
    return text;
}

JsonObjectReader::JsonObjectReader(const QJsonObject &object, QString path)
    : m_object(object), m_path(std::move(path))
{
}

JsonObjectReader JsonObjectReader::fromValue(const QJsonValue &value, const QString &path)
{
    if (!value.isObject())
        typeMismatch(QStringLiteral("an object"), path, value);
    return JsonObjectReader(value.toObject(), path);
}

QString JsonObjectReader::pathOf(const QString &key) const
{
    return m_path.isEmpty() ? key : m_path + QLatin1Char('.') + key;
}

QString JsonObjectReader::elementPath(const QString &key, qsizetype index) const
{
    return pathOf(key) + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
}

QJsonValue JsonObjectReader::required(const QString &key) const
{
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd())
        throw JsonDecodeError(QStringLiteral("Missing required key \"%1\".").arg(pathOf(key)));
    return it.value();
}

std::optional<QJsonValue> JsonObjectReader::optional(const QString &key) const
{
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd() || it.value().isNull())
        return std::nullopt;
    return it.value();
}

QString JsonObjectReader::string(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isString())
        typeMismatch(QStringLiteral("a string"), pathOf(key), value);
    return value.toString();
}

std::optional<QString> JsonObjectReader::optionalString(const QString &key) const
{
    const auto value = optional(key);
    if (!value)
        return std::nullopt;
    if (!value->isString())
        typeMismatch(QStringLiteral("a string"), pathOf(key), *value);
    return value->toString();
}

static double finiteNumber(const QJsonValue &value, const QString &path)
{
    if (!value.isDouble())
        typeMismatch(QStringLiteral("a number"), path, value);
    const double number = value.toDouble();
    if (!std::isfinite(number))
        badValue(QStringLiteral("a finite number"), path);
    return number;
}

double JsonObjectReader::number(const QString &key) const
{
    return finiteNumber(required(key), pathOf(key));
}

std::optional<double> JsonObjectReader::optionalNumber(const QString &key) const
{
    const auto value = optional(key);
    if (!value)
        return std::nullopt;
    return finiteNumber(*value, pathOf(key));
}

qint64 JsonObjectReader::integer(const QString &key) const
{
    const QJsonValue value = required(key);
    const QString path = pathOf(key);
    if (!value.isDouble())
        typeMismatch(QStringLiteral("an integer"), path, value);
    // Integers that fit 64 bits are kept exactly by the parser; anything else arrives as a
    // double and must be whole and in range before it may be converted.
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong)
        return variant.toLongLong();
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number || number < -9223372036854775808.0
        || number >= 9223372036854775808.0)
        badValue(QStringLiteral("an integer in the 64-bit range"), path);
    return static_cast<qint64>(number);
}

QUuid JsonObjectReader::uuid(const QString &key) const
{
    const QString text = string(key);
    const auto parsed = parseUuid(text);
    if (!parsed)
        badValue(QStringLiteral("a UUID"), pathOf(key));
    return *parsed;
}

std::optional<QUuid> JsonObjectReader::optionalUuid(const QString &key) const
{
    const auto text = optionalString(key);
    if (!text)
        return std::nullopt;
    const auto parsed = parseUuid(*text);
    if (!parsed)
        badValue(QStringLiteral("a UUID"), pathOf(key));
    return parsed;
}

QDateTime JsonObjectReader::date(const QString &key) const
{
    const QDateTime parsed = parseIsoDate(string(key));
    if (!parsed.isValid())
        badValue(QStringLiteral("an ISO 8601 date"), pathOf(key));
    return parsed;
}

QJsonArray JsonObjectReader::array(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isArray())
        typeMismatch(QStringLiteral("an array"), pathOf(key), value);
    return value.toArray();
}

namespace {

// The parser lets raw control characters through inside strings; JSON forbids them (they must
// be escaped), so a document holding one was not written by a JSON encoder. Returns the offset
// of the first one, or -1.
qsizetype rawControlCharacterInString(const QByteArray &data)
{
    bool inString = false;
    bool escaped = false;
    for (qsizetype index = 0; index < data.size(); ++index) {
        const auto byte = static_cast<unsigned char>(data[index]);
        if (!inString) {
            inString = byte == '"';
        } else if (escaped) {
            escaped = false;
        } else if (byte == '\\') {
            escaped = true;
        } else if (byte == '"') {
            inString = false;
        } else if (byte < 0x20) {
            return index;
        }
    }
    return -1;
}

} // namespace

QJsonObject parseJsonObject(const QByteArray &data)
{
    if (const qsizetype offset = rawControlCharacterInString(data); offset >= 0)
        throw JsonDecodeError(
            QStringLiteral("The data is not valid JSON: unescaped control character at offset %1.")
                .arg(offset));
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        throw JsonDecodeError(QStringLiteral("The data is not valid JSON: %1 at offset %2.")
                                  .arg(error.errorString())
                                  .arg(error.offset));
    if (!document.isObject())
        throw JsonDecodeError(
            QStringLiteral("Expected an object at the top level of the document."));
    return document.object();
}

} // namespace lumacast
