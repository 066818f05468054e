#pragma once

#include "control/ShellServices.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>
#include <QVersionNumber>

#include <functional>
#include <optional>

namespace lumacast {

// The update checker on Qt Network. The feed address is part of the application's own
// configuration: the build setting LUMACAST_UPDATE_FEED_URL (an http or https URL), compiled into
// the program; without one nothing can be checked. The feed is a JSON object:
// {"version": "1.4.0", "url": "<where to download it>"}; "url" is optional.
//
// Main thread only. A user-initiated check always ends in one alert (newer version, up to date,
// or the failure); an automatic check, once per launch when that setting is on, shows only a
// newer version. A user's request while a check is under way is answered when that one ends.
// The feed is untrusted: its body is bounded (kLargestFeed), the whole check is bounded in time,
// its text is shown as plain text, and only an http(s) "url" is ever opened, and only when the
// user picks "Download" in the alert.
class NetworkUpdater final : public QObject, public UpdaterService {
    Q_OBJECT
public:
    // The build setting that holds the feed address.
    static constexpr const char *kFeedSetting = "LUMACAST_UPDATE_FEED_URL";
    // Shows a modal alert and returns the index of the chosen button (-1: none); the shell routes
    // it through the state manager so that the global hot keys are suspended while it is up.
    using AlertPresenter = std::function<int(const AlertRequest &)>;
    // Opens a download address in the user's browser.
    using UrlOpener = std::function<void(const QUrl &)>;
    static constexpr qint64 kLargestFeed = 64 * 1024;
    static constexpr int kCheckTimeLimitMs = 30000;

    struct Result {
        enum class Kind { upToDate, updateAvailable, failed };
        Kind kind = Kind::failed;
        QVersionNumber latest;
        QString downloadURL; // an http(s) address, or empty
        QString error;       // failed
    };

    NetworkUpdater(std::optional<QUrl> feed, QVersionNumber currentVersion, AlertPresenter present,
                   UrlOpener openDownload, QObject *parent = nullptr);

    // For tests: the whole check's limit, from the request to the last byte.
    void setCheckTimeLimit(int milliseconds) { m_timeLimitMs = milliseconds; }

    // The feed of the build's setting; absent when it is empty or not an http(s) URL.
    static std::optional<QUrl> feedFromConfiguration(const QString &configured);
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
    UrlOpener m_openDownload;
    QNetworkAccessManager m_network;
    int m_timeLimitMs = kCheckTimeLimitMs;
    bool m_userWaiting = false; // a user asked while an automatic check was under way
    bool m_started = false;
    bool m_automatic = false;
    bool m_automaticCheckDone = false;
    bool m_checking = false;
    std::optional<Result> m_lastResult;
};

} // namespace lumacast
