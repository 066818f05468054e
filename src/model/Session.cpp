#include "Session.h"

#include "JsonCoding.h"
#include "RecordCoding.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QStandardPaths>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace lumacast {

namespace {

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

[[noreturn]] void throwFileSystemError(const QString &operation, const QString &path,
                                       const std::error_code &code)
{
    throw FileSystemError(operation, path, code.value(), QString::fromStdString(code.message()));
}

void createFolder(const QString &path)
{
    std::error_code code;
    std::filesystem::create_directories(nativePath(path), code);
    if (code)
        throwFileSystemError(QStringLiteral("Creating the folder"), path, code);
}

Take decodeTake(const JsonObjectReader &reader)
{
    Take take;
    record_coding::readTake(reader, take);
    take.trimStart = reader.number(QStringLiteral("trimStart"));
    take.trimEnd = reader.number(QStringLiteral("trimEnd"));
    return take;
}

QJsonObject encodeTake(const Take &take, const QString &path)
{
    QJsonObject object = record_coding::writeTake(take, path);
    object.insert(QStringLiteral("trimStart"),
                  encodeNumber(take.trimStart, record_coding::keyPath(path, QStringLiteral("trimStart"))));
    object.insert(QStringLiteral("trimEnd"),
                  encodeNumber(take.trimEnd, record_coding::keyPath(path, QStringLiteral("trimEnd"))));
    return object;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Take

bool Take::isUsableFile(const QString &path)
{
    // An embedded NUL would cut the path short at the system call and test another file.
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    const QFileInfo info(path);
    return info.exists() && info.isFile() && info.size() > 1024;
}

bool Take::isSafeFilename(const QString &filename)
{
    if (filename.isEmpty() || !filename.isValidUtf16() || filename == QLatin1String(".")
        || filename.contains(QLatin1Char('/')) || filename.contains(QLatin1String("..")))
        return false;
    for (const QChar c : filename) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

void Take::clampTrims()
{
    // Written so that NaN falls to the bounds too.
    const double upper = duration > 0 ? duration : 0.0;
    const auto bounded = [upper](double value) {
        if (!(value > 0))
            return 0.0;
        if (!(value < upper))
            return upper;
        return value;
    };
    trimStart = bounded(trimStart);
    trimEnd = bounded(trimEnd);
    if (!(trimStart < trimEnd)) {
        trimStart = 0;
        trimEnd = upper;
    }
}

QJsonObject Take::toJson() const
{
    return encodeTake(*this, QString());
}

Take Take::fromJson(const QJsonObject &object)
{
    return decodeTake(JsonObjectReader(object, QString()));
}

// ---------------------------------------------------------------------------------------------
// RecordingScene

void RecordingScene::removeTake(const QUuid &takeID)
{
    takes.removeIf([&](const Take &take) { return take.id == takeID; });
    if (selectedTakeID == takeID)
        selectedTakeID.reset();
}

RecordingScene RecordingScene::duplicateScene(qsizetype sourceIndex,
                                              const QHash<QString, QString> &renamedFiles) const
{
    RecordingScene copy;
    copy.takes.reserve(takes.size());
    for (const Take &take : takes) {
        Take duplicate = take;
        duplicate.id = QUuid::createUuid();
        duplicate.filename = renamedFiles.value(take.filename, take.filename);
        copy.takes.append(duplicate);
    }
    copy.name = name.value_or(QStringLiteral("Scene ") + QString::number(sourceIndex + 1))
        + QStringLiteral(" (copy)");
    copy.id = QUuid::createUuid();
    if (selectedTakeID) {
        for (qsizetype i = 0; i < takes.size(); ++i) {
            if (takes[i].id == *selectedTakeID) {
                copy.selectedTakeID = copy.takes[i].id;
                break;
            }
        }
    }
    return copy;
}

QJsonObject RecordingScene::toJson() const
{
    return record_coding::writeScene(*this, QString(), encodeTake);
}

RecordingScene RecordingScene::fromJson(const QJsonObject &object)
{
    return record_coding::readScene<RecordingScene>(JsonObjectReader(object, QString()), decodeTake);
}

// ---------------------------------------------------------------------------------------------
// Session

Session::Session(const QString &scratchURL)
    : id(QUuid::createUuid()), createdAt(QDateTime::currentDateTimeUtc()), scratchURL(scratchURL)
{
    RecordingScene first;
    first.id = QUuid::createUuid();
    scenes.append(first);
}

QString Session::makeScratchFolder()
{
    const QString caches = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (caches.isEmpty())
        throw FileSystemError(QStringLiteral("Locating the cache folder"), QString(), ENOENT,
                              QStringLiteral("no cache folder is known for this user"));
    const QString sessions = caches + QStringLiteral("/Lumacast/Sessions");
    createFolder(sessions);
    const QString folder = sessions + QLatin1Char('/') + formatUuid(QUuid::createUuid());
    createFolder(folder);
    createFolder(folder + QStringLiteral("/takes"));
    return folder;
}

void Session::removeScene(const QUuid &sceneID)
{
    if (scenes.size() < 2)
        return;
    // Scenes removed in front of the current one shift it down; counting them keeps the index
    // on the scene the user was recording into.
    qsizetype removedBeforeCurrent = 0;
    for (qsizetype i = 0; i < scenes.size() && i < currentSceneIndex; ++i) {
        if (scenes[i].id == sceneID)
            ++removedBeforeCurrent;
    }
    scenes.removeIf([&](const RecordingScene &scene) { return scene.id == sceneID; });
    currentSceneIndex -= removedBeforeCurrent;
    if (currentSceneIndex >= scenes.size())
        currentSceneIndex = scenes.isEmpty() ? 0 : scenes.size() - 1;
    isDirty = true;
}

QList<Take> Session::checkedTakes() const
{
    QList<Take> checked;
    for (const RecordingScene &scene : scenes) {
        if (!scene.selectedTakeID)
            continue;
        for (const Take &take : scene.takes) {
            if (take.id == *scene.selectedTakeID) {
                checked.append(take);
                break;
            }
        }
    }
    return checked;
}

double Session::checkedDuration() const
{
    double total = 0;
    for (const Take &take : checkedTakes())
        total += take.trimEnd - take.trimStart;
    return total;
}

void Session::discardStorage() const
{
    const QString folder = bundleURL.value_or(scratchURL);
    const std::filesystem::path path = nativePath(folder);
    // A session without a folder of its own must never take its parent or the root with it.
    if (folder.isEmpty() || folder.contains(QChar(0)) || path.relative_path().empty())
        throw FileSystemError(QStringLiteral("Removing the session folder"), folder, EINVAL,
                              QStringLiteral("not a session folder"));
    std::error_code code;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, code))) {
        if (!code)
            code = std::make_error_code(std::errc::no_such_file_or_directory);
        throwFileSystemError(QStringLiteral("Removing the session folder"), folder, code);
    }
    std::filesystem::remove_all(path, code);
    if (code)
        throwFileSystemError(QStringLiteral("Removing the session folder"), folder, code);
}

} // namespace lumacast
