#pragma once

#include "model/Error.h"
#include "model/JsonCoding.h"
#include "model/Session.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

namespace lumacast {

// The stored form of a session ("manifest.json").
struct SessionManifest {
    struct TakeManifest {
        QUuid id;
        QString filename;
        double duration = 0;
        QDateTime recordedAt;
        std::optional<QString> name;
        std::optional<double> trimStart; // stored only when above 0
        std::optional<double> trimEnd;   // stored only when below the duration
        std::optional<double> playheadPosition;

        bool operator==(const TakeManifest &) const = default;
    };

    struct SceneManifest {
        QUuid id;
        std::optional<QString> name;
        QList<TakeManifest> takes;
        std::optional<QUuid> selectedTakeID;

        bool operator==(const SceneManifest &) const = default;
    };

    // The first broken rule of `validate`; its message is the user-readable description.
    class ValidationError : public Error {
    public:
        using Error::Error;
    };

    // A document that is not JSON or not a manifest: a missing key, a value of the wrong type,
    // a number out of range for its field.
    using DecodeError = JsonDecodeError;

    static constexpr qint64 currentSchemaVersion = 1;

    qint64 schemaVersion = currentSchemaVersion;
    QUuid sessionID;
    QDateTime createdAt;
    QList<SceneManifest> scenes;
    qint64 currentSceneIndex = 0;

    bool operator==(const SessionManifest &) const = default;

    SessionManifest() = default;
    explicit SessionManifest(const Session &session);

    // Throws ValidationError for the first rule that fails. A file name used twice is only
    // logged (persistence category, error level).
    void validate() const;

    // Validates, then builds the session for the given working folder and package. Each take's
    // trims are brought into 0...duration. Throws ValidationError.
    Session makeSession(const QString &scratchURL,
                        const std::optional<QString> &bundleURL = std::nullopt) const;

    // Pretty-printed JSON with sorted keys. Throws JsonEncodeError for a value that could not be
    // read back (a non-finite number, an invalid date) rather than write an unopenable file.
    QByteArray toJson() const;
    // Throws DecodeError; never anything else, whatever the bytes.
    static SessionManifest fromJson(const QByteArray &data);

    qsizetype takeCount() const;
};

} // namespace lumacast
