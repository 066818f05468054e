#include "store/Preferences.h"

#include "model/Error.h"
#include "model/LogCategories.h"
#include "store/BoundedFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocale>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <unistd.h>

namespace lumacast {

namespace {

const QString kDataTag = QStringLiteral("$data");

QString escapeKey(const QString &key)
{
    return key.startsWith(QLatin1Char('$')) ? QLatin1Char('$') + key : key;
}

QString unescapeKey(const QString &key)
{
    return key.startsWith(QLatin1String("$$")) ? key.mid(1) : key;
}

QJsonValue toJson(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return QJsonValue::Null;
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::LongLong:
    case QMetaType::Long:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong n = value.toULongLong();
        if (n <= static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
            return static_cast<qint64>(n);
        return static_cast<double>(n);
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        // JSON has no infinities or NaN; such a value reads back as missing.
        return std::isfinite(d) ? QJsonValue(d) : QJsonValue(QJsonValue::Null);
    }
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QByteArray:
        return QJsonObject{{kDataTag, QString::fromLatin1(value.toByteArray().toBase64())}};
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            object.insert(escapeKey(it.key()), toJson(it.value()));
        return object;
    }
    case QMetaType::QVariantHash: {
        QJsonObject object;
        const QVariantHash hash = value.toHash();
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            object.insert(escapeKey(it.key()), toJson(it.value()));
        return object;
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &element : value.toList())
            array.append(toJson(element));
        return array;
    }
    default:
        // Anything else that has a text form (dates, URLs, UUIDs) is kept as its text.
        if (value.canConvert<QString>())
            return value.toString();
        return QJsonValue::Null;
    }
}

QVariant fromJson(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double:
        return value.toVariant(); // integers come back as qlonglong, others as double
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &element : value.toArray())
            list.append(fromJson(element));
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.size() == 1 && object.contains(kDataTag)) {
            const QJsonValue encoded = object.value(kDataTag);
            if (!encoded.isString())
                return {};
            const auto decoded = QByteArray::fromBase64Encoding(
                encoded.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            return decoded ? QVariant(*decoded) : QVariant();
        }
        QVariantMap map;
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            map.insert(unescapeKey(it.key()), fromJson(it.value()));
        return map;
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return {};
}

bool parseTypedJson(QIODevice &device, QSettings::SettingsMap &map)
{
    if (device.size() > Preferences::kLargestFile)
        return false;
    const QByteArray bytes = device.read(Preferences::kLargestFile);
    if (bytes.trimmed().isEmpty())
        return true; // a new, empty file holds no settings
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        QVariant value = fromJson(it.value());
        if (value.isValid())
            map.insert(it.key(), value);
    }
    return true;
}

// What this process last read from or wrote to each settings file, by the name QSettings gives
// it. QSettings reads a file that changed on disk again before it writes, and when that reading
// fails it forgets every key it knew and writes only the ones just set: a slip in a hand edit
// made while the program runs would cost the user every setting. The reader answers with these
// instead.
class LastReadSettings {
public:
    void remember(const QString &file, const QSettings::SettingsMap &map)
    {
        const std::lock_guard lock(m_mutex);
        m_maps.insert(file, map);
    }

    std::optional<QSettings::SettingsMap> find(const QString &file) const
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_maps.constFind(file);
        return found == m_maps.cend() ? std::nullopt : std::optional(*found);
    }

    static LastReadSettings &shared()
    {
        static LastReadSettings instance;
        return instance;
    }

private:
    mutable std::mutex m_mutex;
    QHash<QString, QSettings::SettingsMap> m_maps;
};

QString fileNameOf(const QIODevice &device)
{
    const auto *file = qobject_cast<const QFileDevice *>(&device);
    return file ? file->fileName() : QString();
}

// The settings file of a run that finds it unreadable is kept beside it before a write replaces
// it, so hand edits that went wrong can still be recovered.
void keepUnreadableFile(const QString &path)
{
    const QString aside = path + QStringLiteral(".unreadable");
    QFile::remove(aside);
    if (QFile::copy(path, aside))
        qCWarning(lumacast::log::persistence(), "settings file %s is unreadable; kept a copy at %s",
                  qUtf8Printable(path), qUtf8Printable(aside));
    else
        qCWarning(lumacast::log::persistence(), "settings file %s is unreadable",
                  qUtf8Printable(path));
}

bool readTypedJson(QIODevice &device, QSettings::SettingsMap &map)
{
    const QString file = fileNameOf(device);
    if (parseTypedJson(device, map)) {
        LastReadSettings::shared().remember(file, map);
        return true;
    }
    map.clear();
    if (!file.isEmpty())
        keepUnreadableFile(file);
    // At launch there is nothing to fall back on: the run starts from the defaults. Later, what
    // was read before stands, and the next write puts it back together with the new value.
    const std::optional<QSettings::SettingsMap> earlier = LastReadSettings::shared().find(file);
    if (!earlier)
        return false;
    map = *earlier;
    return true;
}

bool writeTypedJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), toJson(it.value()));
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    if (device.write(bytes) != bytes.size())
        return false;
    // QSettings writes through a buffered QSaveFile whose commit() ignores a failure to write
    // out its buffer: on a full disk it would put an empty file in place. Writing the buffer out
    // here turns that failure into one QSettings sees, and the old file stays.
    auto *file = qobject_cast<QFileDevice *>(&device);
    if (file && !file->flush())
        return false;
    LastReadSettings::shared().remember(fileNameOf(device), map);
    return true;
}

QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2); // strip the brackets
}

bool isNumber(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// QSettings opens the file itself, blocking on a FIFO and reading any size whole. So the file is
// first read the bounded way; one that cannot be read like that is moved aside, out of QSettings'
// reach, and this run starts from the defaults. The user's own link (a dotfiles manager's) is
// followed, and its target must pass the same checks; a link that fails them is what moves aside,
// never its target.
QString usableSettingsFile(const QString &path)
{
    try {
        lumacast::BoundedFile::read(path, Preferences::kLargestFile, BoundedFile::Links::follow);
        return path;
    } catch (const lumacast::FileSystemError &error) {
        if (error.code() == ENOENT)
            return path;
        const QString aside = path + QStringLiteral(".unreadable");
        ::unlink(QFile::encodeName(aside).constData());
        if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0)
            qCWarning(lumacast::log::persistence(), "settings file %s cannot be read (%s); moved it to %s",
                      qUtf8Printable(path), qUtf8Printable(error.systemText()),
                      qUtf8Printable(aside));
        else
            qCCritical(lumacast::log::persistence(), "settings file %s cannot be read (%s) nor moved aside",
                       qUtf8Printable(path), qUtf8Printable(error.systemText()));
        return path;
    }
}

} // namespace

std::optional<WebcamBlobPlacement> WebcamBlobPlacement::fromJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue x = object.value(QStringLiteral("xFraction"));
    const QJsonValue y = object.value(QStringLiteral("yFraction"));
    const QJsonValue width = object.value(QStringLiteral("widthFraction"));
    if (!x.isDouble() || !y.isDouble() || !width.isDouble())
        return std::nullopt;
    return WebcamBlobPlacement{x.toDouble(), y.toDouble(), width.toDouble()};
}

std::optional<QByteArray> WebcamBlobPlacement::toJson() const
{
    if (!std::isfinite(xFraction) || !std::isfinite(yFraction) || !std::isfinite(widthFraction))
        return std::nullopt;
    // Fields in their declared order, each number in its shortest exact form.
    const auto number = [](double value) {
        return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
    };
    return "{\"xFraction\":" + number(xFraction) + ",\"yFraction\":" + number(yFraction)
        + ",\"widthFraction\":" + number(widthFraction) + "}";
}

QSettings::Format Preferences::jsonFormat()
{
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readTypedJson, writeTypedJson);
    return format;
}

QString Preferences::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Lumacast/Lumacast.json");
}

Preferences &Preferences::shared()
{
    static Preferences instance(defaultFilePath());
    return instance;
}

Preferences::Preferences(const QString &filePath)
    : m_defaults(usableSettingsFile(filePath), jsonFormat())
{
    // QSettings replaces the file through a temporary one, so a crash mid-write never leaves a
    // half-written settings file. Through a link, the temporary file goes beside the link's
    // target and replaces that: the link stays.
    m_defaults.setAtomicSyncRequired(true);
}

QVariant Preferences::value(const char *key) const
{
    return m_defaults.value(QLatin1String(key));
}

bool Preferences::flag(const char *key, bool fallback) const
{
    const QVariant stored = value(key);
    return stored.typeId() == QMetaType::Bool ? stored.toBool() : fallback;
}

std::optional<double> Preferences::number(const char *key) const
{
    const QVariant stored = value(key);
    if (!isNumber(stored))
        return std::nullopt;
    const double result = stored.toDouble();
    return std::isfinite(result) ? std::optional<double>(result) : std::nullopt;
}

std::optional<QString> Preferences::text(const char *key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::QString)
        return std::nullopt;
    return stored.toString();
}

void Preferences::write(const char *key, const QVariant &newValue)
{
    m_defaults.setValue(QLatin1String(key), newValue);
    m_defaults.sync();
}

void Preferences::remove(const char *key)
{
    m_defaults.remove(QLatin1String(key));
    m_defaults.sync();
}

void Preferences::setText(const char *key, const std::optional<QString> &newText)
{
    if (newText)
        write(key, *newText);
    else
        remove(key);
}

std::optional<QUuid> Preferences::lastViewedTake(const QUuid &scene) const
{
    const QVariant stored = value(preference_key::lastViewedTakes);
    if (stored.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariant entry = stored.toMap().value(scene.toString(QUuid::WithoutBraces).toUpper());
    if (entry.typeId() != QMetaType::QString)
        return std::nullopt;
    const QUuid take = QUuid::fromString(entry.toString());
    if (take.isNull())
        return std::nullopt;
    return take;
}

void Preferences::setLastViewedTake(const std::optional<QUuid> &take, const QUuid &scene)
{
    QVariantMap entries;
    const QVariant stored = value(preference_key::lastViewedTakes);
    if (stored.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = stored.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (it.value().typeId() == QMetaType::QString)
                entries.insert(it.key(), it.value());
        }
    }
    const QString sceneKey = scene.toString(QUuid::WithoutBraces).toUpper();
    if (take)
        entries.insert(sceneKey, take->toString(QUuid::WithoutBraces).toUpper());
    else
        entries.remove(sceneKey);
    write(preference_key::lastViewedTakes, entries);
}

double Preferences::systemAudioMixLevel() const
{
    // The settings window offers silent to full, but a level stored above full is applied as it
    // stands (it amplifies). Past +24 dB it could only overflow: a stored 1e30 made every
    // mixdown's samples infinite and the encoder refuse them.
    constexpr double loudest = 16.0;
    return std::clamp(number(preference_key::systemAudioMixLevel).value_or(0.3), 0.0, loudest);
}

std::optional<WebcamBlobPlacement> Preferences::webcamBlobPlacement() const
{
    const QVariant stored = value(preference_key::webcamBlobPlacement);
    if (stored.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    auto placement = WebcamBlobPlacement::fromJson(stored.toByteArray());
    if (placement) {
        // Fractions of the display: the overlay is placed on it, whatever the file says.
        placement->xFraction = std::clamp(placement->xFraction, 0.0, 1.0);
        placement->yFraction = std::clamp(placement->yFraction, 0.0, 1.0);
        placement->widthFraction = std::clamp(placement->widthFraction, 0.0, 1.0);
    }
    return placement;
}

void Preferences::setWebcamBlobPlacement(const std::optional<WebcamBlobPlacement> &placement)
{
    const std::optional<QByteArray> json = placement ? placement->toJson() : std::nullopt;
    if (json)
        write(preference_key::webcamBlobPlacement, *json);
    else
        remove(preference_key::webcamBlobPlacement);
}

std::optional<QString> Preferences::screenCastRestoreToken(const QString &kind) const
{
    const QVariant token = value(preference_key::screenCastRestoreTokens).toMap().value(kind);
    if (token.typeId() != QMetaType::QString || token.toString().isEmpty())
        return std::nullopt;
    return token.toString();
}

void Preferences::setScreenCastRestoreToken(const QString &kind, const std::optional<QString> &token)
{
    QVariantMap tokens = value(preference_key::screenCastRestoreTokens).toMap();
    if (token && !token->isEmpty())
        tokens.insert(kind, *token);
    else
        tokens.remove(kind);
    write(preference_key::screenCastRestoreTokens, tokens);
}

std::optional<QString> Preferences::lastExportDirectory() const
{
    return text(preference_key::lastExportDirectory);
}

void Preferences::setLastExportDirectory(const std::optional<QString> &path)
{
    setText(preference_key::lastExportDirectory, path);
}

std::optional<QString> Preferences::lastOpenedDocument() const
{
    return text(preference_key::lastOpenedDocument);
}

void Preferences::setLastOpenedDocument(const std::optional<QString> &path)
{
    setText(preference_key::lastOpenedDocument, path);
}

bool Preferences::reopenLastDocument() const { return flag(preference_key::reopenLastDocument, true); }

bool Preferences::autoCheckForUpdates() const
{
    return flag(preference_key::autoCheckForUpdates, true);
}

bool Preferences::hideCursorWhenIdle() const { return flag(preference_key::hideCursorWhenIdle, true); }

double Preferences::cursorHideDelay() const
{
    const double stored = number(preference_key::cursorHideDelay).value_or(2.0);
    return std::min(std::max(stored, 0.5), 10.0);
}

std::map<QString, ShortcutBinding> Preferences::customShortcuts() const
{
    const QVariant stored = value(preference_key::customShortcuts);
    if (stored.typeId() != QMetaType::QByteArray)
        return {};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(stored.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    std::map<QString, ShortcutBinding> result;
    const QJsonObject object = document.object();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        // The map decodes as a whole: one unreadable binding makes all of it unreadable.
        const std::optional<ShortcutBinding> binding = ShortcutBinding::fromJson(it.value());
        if (!binding)
            return {};
        result.emplace(it.key(), *binding);
    }
    return result;
}

void Preferences::setCustomShortcuts(const std::map<QString, ShortcutBinding> &shortcuts)
{
    // Written by hand rather than through QJsonObject, which would sort each binding's keys: a
    // binding's fields are stored in their declared order.
    QByteArray json = "{";
    for (const auto &[name, binding] : shortcuts) {
        if (json.size() > 1)
            json += ',';
        json += jsonString(name) + ':' + binding.toJsonBytes();
    }
    json += '}';
    write(preference_key::customShortcuts, json);
}

ShortcutBindings Preferences::effectiveShortcutBindings() const
{
    const std::map<QString, ShortcutBinding> custom = customShortcuts();
    ShortcutBindings result;
    for (ShortcutAction action : shortcut_action::allCases) {
        const auto found = custom.find(shortcut_action::rawValue(action));
        result.emplace(action, found != custom.end() ? found->second : defaultBinding(action));
    }
    return result;
}

} // namespace lumacast
