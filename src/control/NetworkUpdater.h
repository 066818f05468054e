#pragma once

#include "control/ShellServices.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>
#include <QVersionNumber>

#include <functional>
#include <optional>

namespace lumacast {

class Preferences;

// The update checker on Qt Network. The feed address is the "updateFeedURL" key of the
// application's settings file (an http or https URL); without one nothing can be checked. The
// feed is a JSON object: {"version": "1.4.0", "url": "<where to download it>"}; "url" is optional.
//
// Main thread only. A user-initiated check always ends in one alert (newer version, up to date,
// or the failure); an automatic check, once per launch when that setting is on, shows only a
// newer version. A check already under way makes another request do nothing.
class NetworkUpdater final : public QObject, public UpdaterService {
    Q_OBJECT
public:
    static constexpr const char *kFeedKey = "updateFeedURL";
    // Shows a modal alert; the shell routes it through the state manager so that the global hot
    // keys are suspended while it is up.
    using AlertPresenter = std::function<void(const AlertRequest &)>;

    struct Result {
        enum class Kind { upToDate, updateAvailable, failed };
        Kind kind = Kind::failed;
        QVersionNumber latest;
        QString downloadURL; // may be empty
        QString error;       // failed
    };

    NetworkUpdater(std::optional<QUrl> feed, QVersionNumber currentVersion, AlertPresenter present,
                   QObject *parent = nullptr);

    // The configured feed; absent when the key is missing or not an http(s) URL.
    static std::optional<QUrl> feedFromPreferences(Preferences &preferences);
    // The settings file as the user would type it.
    static QString configurationFileForDisplay();
    // Reads a feed document; never throws.
    static Result parseFeed(const QByteArray &document, const QVersionNumber &currentVersion);

    bool start() override;
    void setAutomaticallyChecksForUpdates(bool enabled) override;
    bool canCheckForUpdates() const override { return m_feed.has_value(); }
    void checkForUpdates() override;

    bool isChecking() const { return m_checking; }
    const std::optional<Result> &lastResult() const { return m_lastResult; }

signals:
    // After every check, once its alert (if any) was closed.
    void checkFinished();

private:
    void runCheck(bool userInitiated);
    void report(const Result &result, bool userInitiated);

    std::optional<QUrl> m_feed;
    QVersionNumber m_currentVersion;
    AlertPresenter m_present;
    QNetworkAccessManager m_network;
    bool m_started = false;
    bool m_automatic = false;
    bool m_automaticCheckDone = false;
    bool m_checking = false;
    std::optional<Result> m_lastResult;
};

} // namespace lumacast
