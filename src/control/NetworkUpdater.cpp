#include "control/NetworkUpdater.h"

#include "model/LogCategories.h"
#include "store/Preferences.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

namespace lumacast {

namespace {

constexpr int kTransferTimeoutMs = 15000;

} // namespace

NetworkUpdater::NetworkUpdater(std::optional<QUrl> feed, QVersionNumber currentVersion, AlertPresenter present,
                               QObject *parent)
    : QObject(parent), m_feed(std::move(feed)), m_currentVersion(std::move(currentVersion)), m_present(std::move(present))
{
}

std::optional<QUrl> NetworkUpdater::feedFromPreferences(Preferences &preferences)
{
    const QVariant value = preferences.defaults().value(kFeedKey);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    const QUrl url(value.toString().trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || (url.scheme() != "http" && url.scheme() != "https"))
        return std::nullopt;
    return url;
}

QString NetworkUpdater::configurationFileForDisplay()
{
    QString path = QDir::cleanPath(Preferences::defaultFilePath());
    const QString home = QDir::cleanPath(QDir::homePath());
    if (path.startsWith(home + QLatin1Char('/')))
        path = QStringLiteral("~") + path.mid(home.size());
    return path;
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
    result.downloadURL = json.object().value("url").toString();
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
    if (m_checking)
        return;
    m_checking = true;
    QNetworkRequest request(*m_feed);
    request.setTransferTimeout(kTransferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = m_network.get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, userInitiated] {
        reply->deleteLater();
        Result result;
        if (reply->error() != QNetworkReply::NoError) {
            result.error = reply->errorString();
        } else {
            result = parseFeed(reply->readAll(), m_currentVersion);
        }
        m_checking = false;
        report(result, userInitiated);
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
        if (!result.downloadURL.isEmpty())
            text += QStringLiteral(" Download it from %1").arg(result.downloadURL);
        if (m_present)
            m_present(AlertRequest{QStringLiteral("A new version of Lumacast is available"), text,
                                   AlertStyle::informational, {}});
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
