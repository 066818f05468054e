#include "control/NetworkUpdater.h"

#include "model/LogCategories.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace lumacast {

namespace {

constexpr int kTransferTimeoutMs = 15000;

} // namespace

NetworkUpdater::NetworkUpdater(std::optional<QUrl> feed, QVersionNumber currentVersion, AlertPresenter present,
                               UrlOpener openDownload, QObject *parent)
    : QObject(parent), m_feed(std::move(feed)), m_currentVersion(std::move(currentVersion)),
      m_present(std::move(present)), m_openDownload(std::move(openDownload))
{
}

std::optional<QUrl> NetworkUpdater::feedFromConfiguration(const QString &configured)
{
    const QUrl url(configured.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || (url.scheme() != "http" && url.scheme() != "https"))
        return std::nullopt;
    return url;
}

NetworkUpdater::Result NetworkUpdater::parseFeed(const QByteArray &document, const QVersionNumber &currentVersion)
{
    Result result;
    const QJsonDocument json = QJsonDocument::fromJson(document);
    const QVersionNumber latest = QVersionNumber::fromString(json.object().value("version").toString());
    if (!json.isObject() || latest.isNull()) {
        result.error = QStringLiteral("The update feed does not name a version.");
        return result;
    }
    result.latest = latest;
    // Only a web address is ever offered: anything else ("file:", "javascript:", a command) is
    // not a download and is dropped.
    const QUrl download(json.object().value("url").toString(), QUrl::StrictMode);
    if (download.isValid() && !download.host().isEmpty()
        && (download.scheme() == QLatin1String("http") || download.scheme() == QLatin1String("https")))
        result.downloadURL = download.toString(QUrl::FullyEncoded);
    result.kind = QVersionNumber::compare(latest, currentVersion) > 0 ? Result::Kind::updateAvailable
                                                                       : Result::Kind::upToDate;
    return result;
}

bool NetworkUpdater::start()
{
    m_started = true;
    return true;
}

void NetworkUpdater::setAutomaticallyChecksForUpdates(bool enabled)
{
    m_automatic = enabled;
    if (m_started && m_automatic && m_feed && !m_automaticCheckDone) {
        m_automaticCheckDone = true;
        runCheck(false);
    }
}

void NetworkUpdater::checkForUpdates()
{
    if (m_feed)
        runCheck(true);
}

void NetworkUpdater::runCheck(bool userInitiated)
{
    if (m_checking) {
        m_userWaiting = m_userWaiting || userInitiated;
        return;
    }
    m_checking = true;
    m_userWaiting = false;
    QNetworkRequest request(*m_feed);
    request.setTransferTimeout(kTransferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = m_network.get(request);
    // Why the check was cut short, when it was; empty otherwise.
    auto cutShort = std::make_shared<QString>();
    const auto stop = [reply, cutShort](const QString &why) {
        if (!cutShort->isEmpty() || reply->isFinished())
            return;
        *cutShort = why;
        reply->abort();
    };
    // A feed is a few hundred bytes: a longer body (or one announced so) is not read on.
    connect(reply, &QNetworkReply::downloadProgress, this, [stop](qint64 received, qint64 total) {
        if (received > kLargestFeed || total > kLargestFeed)
            stop(QStringLiteral("The update feed is larger than %1 KB.").arg(kLargestFeed / 1024));
    });
    // A feed sending a byte now and then would never end the transfer's own timeout.
    auto *limit = new QTimer(reply);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, this, [stop, seconds = m_timeLimitMs / 1000.0] {
        stop(QStringLiteral("The update feed did not answer within %1 seconds.").arg(seconds));
    });
    limit->start(m_timeLimitMs);
    connect(reply, &QNetworkReply::finished, this, [this, reply, userInitiated, cutShort] {
        reply->deleteLater();
        Result result;
        if (!cutShort->isEmpty())
            result.error = *cutShort;
        else if (reply->error() != QNetworkReply::NoError)
            result.error = reply->errorString();
        else
            result = parseFeed(reply->read(kLargestFeed), m_currentVersion);
        m_checking = false;
        const bool answerUser = userInitiated || m_userWaiting;
        m_userWaiting = false;
        report(result, answerUser);
    });
}

void NetworkUpdater::report(const Result &result, bool userInitiated)
{
    m_lastResult = result;
    const QString current = m_currentVersion.toString();
    switch (result.kind) {
    case Result::Kind::updateAvailable: {
        qCInfo(log::app(), "update available: %s (running %s)", qUtf8Printable(result.latest.toString()),
               qUtf8Printable(current));
        QString text = QStringLiteral("Lumacast %1 is available — you have %2.").arg(result.latest.toString(), current);
        QStringList buttons;
        if (!result.downloadURL.isEmpty()) {
            text += QStringLiteral(" Download it from %1").arg(result.downloadURL);
            buttons = {QStringLiteral("Download"), QStringLiteral("Later")};
        }
        const int chosen = m_present ? m_present(AlertRequest{QStringLiteral("A new version of Lumacast is available"),
                                                              text, AlertStyle::informational, buttons})
                                     : -1;
        if (!buttons.isEmpty() && chosen == 0 && m_openDownload)
            m_openDownload(QUrl(result.downloadURL, QUrl::StrictMode));
        break;
    }
    case Result::Kind::upToDate:
        if (userInitiated && m_present)
            m_present(AlertRequest{QStringLiteral("You’re up to date"),
                                   QStringLiteral("Lumacast %1 is the newest version available.").arg(current),
                                   AlertStyle::informational, {}});
        break;
    case Result::Kind::failed:
        qCWarning(log::app(), "update check failed: %s", qUtf8Printable(result.error));
        if (userInitiated && m_present)
            m_present(AlertRequest{QStringLiteral("Update check failed"), result.error, AlertStyle::warning, {}});
        break;
    }
    emit checkFinished();
}

} // namespace lumacast
