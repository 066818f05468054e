#pragma once

#include "model/Error.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QUuid>

#include <optional>
#include <type_traits>

// The JSON conventions of the stored documents: UUIDs in their 36-character upper-case form,
// dates in ISO 8601 as UTC with whole seconds ("2024-05-01T10:00:00Z"), finite numbers only.
namespace lumacast {

// A document that is not JSON or does not have the expected shape. The message names the
// offending key by its path, e.g. `scenes[2].takes[0].duration`.
class JsonDecodeError : public Error {
public:
    using Error::Error;
};

// A value that the stored form cannot hold (a non-finite number, an invalid date).
class JsonEncodeError : public Error {
public:
    using Error::Error;
};

QString formatUuid(const QUuid &uuid);
QString formatIsoDate(const QDateTime &date);
// Parses the date form above; also accepts fractional seconds and numeric UTC offsets.
// Returns an invalid QDateTime for anything else.
QDateTime parseIsoDate(const QString &text);
// Parses exactly the 36-character hyphenated form, in either case; nullopt otherwise.
std::optional<QUuid> parseUuid(const QString &text);

// Throw JsonEncodeError for a value that could not be read back: NaN or infinity, a date that
// is invalid or outside the years 0000...9999.
QJsonValue encodeNumber(double value, const QString &path);
QJsonValue encodeDate(const QDateTime &date, const QString &path);

// Strictly typed reading of one JSON object; every failure throws JsonDecodeError.
class JsonObjectReader {
public:
    JsonObjectReader(const QJsonObject &object, QString path);

    // Reads a value that must be an object (`path` is the value's own path).
    static JsonObjectReader fromValue(const QJsonValue &value, const QString &path);

    QString string(const QString &key) const;
    std::optional<QString> optionalString(const QString &key) const;
    double number(const QString &key) const;
    std::optional<double> optionalNumber(const QString &key) const;
    qint64 integer(const QString &key) const;
    QUuid uuid(const QString &key) const;
    std::optional<QUuid> optionalUuid(const QString &key) const;
    QDateTime date(const QString &key) const;
    QJsonArray array(const QString &key) const;
    // An array whose elements must be objects, each read by `read(const JsonObjectReader &)`
    // with the element's own path.
    template<typename Read>
    auto objects(const QString &key, Read read) const
        -> QList<std::invoke_result_t<Read, const JsonObjectReader &>>
    {
        const QJsonArray elements = array(key);
        QList<std::invoke_result_t<Read, const JsonObjectReader &>> result;
        result.reserve(elements.size());
        for (qsizetype i = 0; i < elements.size(); ++i)
            result.append(read(fromValue(elements.at(i), elementPath(key, i))));
        return result;
    }

    QString pathOf(const QString &key) const;
    QString elementPath(const QString &key, qsizetype index) const;

private:
    QJsonValue required(const QString &key) const;
    // nullopt when the key is missing or null.
    std::optional<QJsonValue> optional(const QString &key) const;

    QJsonObject m_object;
    QString m_path;
};

// Parses a whole document whose top level must be an object.
QJsonObject parseJsonObject(const QByteArray &data);

} // namespace lumacast
