#pragma once

#include "store/Shortcut.h"

#include <QJsonObject>
#include <QSettings>
#include <QString>
#include <QUuid>

#include <map>
#include <optional>

namespace lumacast {

// The settings keys, exactly as stored. Owners without a typed accessor read and write their own
// keys through `Preferences::defaults()`.
namespace preference_key {
inline constexpr const char *lastViewedTakes = "lastViewedTakes";
inline constexpr const char *selectedDisplayID = "selectedDisplayID";
inline constexpr const char *selectedMicrophoneID = "selectedMicrophoneID";
inline constexpr const char *selectedCameraID = "selectedCameraID";
inline constexpr const char *captureSystemAudio = "captureSystemAudio";
inline constexpr const char *systemAudioMixLevel = "systemAudioMixLevel";
inline constexpr const char *webcamBlobPlacement = "webcamBlobPlacement";
inline constexpr const char *webcamBlobShape = "webcamBlobShape";
inline constexpr const char *lastExportDirectory = "lastExportDirectory";
inline constexpr const char *lastOpenedDocument = "lastOpenedDocument";
inline constexpr const char *reopenLastDocument = "reopenLastDocument";
inline constexpr const char *autoCheckForUpdates = "autoCheckForUpdates";
inline constexpr const char *hideCursorWhenIdle = "hideCursorWhenIdle";
inline constexpr const char *cursorHideDelay = "cursorHideDelay";
inline constexpr const char *customShortcuts = "customShortcuts";
inline constexpr const char *screenCastRestoreTokens = "screenCastRestoreTokens";
} // namespace preference_key

// The webcam overlay's saved frame as fractions of the display.
struct WebcamBlobPlacement {
    double xFraction = 0;
    double yFraction = 0;
    double widthFraction = 0;

    friend bool operator==(const WebcamBlobPlacement &, const WebcamBlobPlacement &) = default;

    // All three keys are required and must be numbers; other keys are ignored.
    static std::optional<WebcamBlobPlacement> fromJson(const QByteArray &json);
    // Nothing when a fraction is not a finite number (JSON cannot hold it).
    std::optional<QByteArray> toJson() const;
};

// Typed access to the user's settings. Every default and clamp lives in its getter, so a missing
// or malformed stored value reads as the default. Nothing is cached here: each read asks the
// settings store.
//
// The store is a QSettings file in a JSON format of our own ("Lumacast.json" in the Lumacast
// folder of the user's configuration folder), written atomically. Its top level is an object
// from key to value; values keep their type:
//   Bool -> true/false, numbers -> JSON numbers, text -> JSON strings, lists -> arrays,
//   dictionaries -> objects, data (QByteArray) -> {"$data": "<base64>"}.
// Inside a dictionary a key that begins with "$" is written with one more "$" in front, so a
// stored dictionary never reads back as data.
class Preferences {
public:
    static Preferences &shared();

    // For tests and tools: settings kept in the given file.
    explicit Preferences(const QString &filePath);
    Preferences(const Preferences &) = delete;
    Preferences &operator=(const Preferences &) = delete;

    static QString defaultFilePath();
    static QSettings::Format jsonFormat();
    // Settings are a few kilobytes; a larger file is not read.
    static constexpr qint64 kLargestFile = 4 * 1024 * 1024;

    QSettings &defaults() { return m_defaults; }
    QString filePath() const { return m_defaults.fileName(); }

    std::optional<QUuid> lastViewedTake(const QUuid &scene) const;
    void setLastViewedTake(const std::optional<QUuid> &take, const QUuid &scene);

    // 0 to 1.
    double systemAudioMixLevel() const;

    // Each fraction 0 to 1.
    std::optional<WebcamBlobPlacement> webcamBlobPlacement() const;
    void setWebcamBlobPlacement(const std::optional<WebcamBlobPlacement> &placement);

    // File locations as absolute paths.
    std::optional<QString> lastExportDirectory() const;
    void setLastExportDirectory(const std::optional<QString> &path);
    std::optional<QString> lastOpenedDocument() const;
    void setLastOpenedDocument(const std::optional<QString> &path);

    bool reopenLastDocument() const;
    bool autoCheckForUpdates() const;
    bool hideCursorWhenIdle() const;
    double cursorHideDelay() const;

    // Every action with the user's binding when one is stored under its raw value, else its
    // default.
    ShortcutBindings effectiveShortcutBindings() const;
    // The stored map from raw action names to bindings; empty when missing or undecodable.
    std::map<QString, ShortcutBinding> customShortcuts() const;
    void setCustomShortcuts(const std::map<QString, ShortcutBinding> &shortcuts);

    // What the desktop's screen sharing hands back after the user chose a screen or a window
    // ("monitor", "window"), so that the next take of that kind does not ask again.
    std::optional<QString> screenCastRestoreToken(const QString &kind) const;
    void setScreenCastRestoreToken(const QString &kind, const std::optional<QString> &token);

private:
    QVariant value(const char *key) const;
    bool flag(const char *key, bool fallback) const;
    std::optional<double> number(const char *key) const;
    std::optional<QString> text(const char *key) const;
    void setText(const char *key, const std::optional<QString> &text);
    void write(const char *key, const QVariant &value);
    void remove(const char *key);

    mutable QSettings m_defaults;
};

} // namespace lumacast
