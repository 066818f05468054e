#include "review/outline/SceneOutlineItems.h"

#include <QDir>

#include <cmath>
#include <limits>

namespace lumacast::outline {

QList<QUuid> outlineOrder(const std::optional<Session> &session)
{
    QList<QUuid> order;
    if (!session)
        return order;
    for (const RecordingScene &scene : session->scenes) {
        order.append(scene.id);
        for (const Take &take : scene.takes)
            order.append(take.id);
    }
    return order;
}

qsizetype sceneIndex(const std::optional<Session> &session, const QUuid &sceneID)
{
    if (!session)
        return -1;
    for (qsizetype i = 0; i < session->scenes.size(); ++i) {
        if (session->scenes[i].id == sceneID)
            return i;
    }
    return -1;
}

std::optional<TakeLocation> takeLocation(const std::optional<Session> &session, const QUuid &takeID)
{
    if (!session)
        return std::nullopt;
    for (qsizetype s = 0; s < session->scenes.size(); ++s) {
        const QList<Take> &takes = session->scenes[s].takes;
        for (qsizetype t = 0; t < takes.size(); ++t) {
            if (takes[t].id == takeID)
                return TakeLocation{s, t};
        }
    }
    return std::nullopt;
}

SplitItems splitItems(const std::optional<Session> &session, const QSet<QUuid> &items)
{
    SplitItems split;
    if (!session)
        return split;
    for (const RecordingScene &scene : session->scenes) {
        if (items.contains(scene.id)) {
            split.sceneIDs.append(scene.id);
            continue;
        }
        for (const Take &take : scene.takes) {
            if (items.contains(take.id))
                split.takeIDs.append(take.id);
        }
    }
    return split;
}

std::optional<QUuid> singleItem(const SplitItems &items)
{
    if (items.sceneIDs.size() + items.takeIDs.size() != 1)
        return std::nullopt;
    return items.sceneIDs.isEmpty() ? items.takeIDs.first() : items.sceneIDs.first();
}

static QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QString outlineSignature(const std::optional<Session> &session,
                         const std::optional<QUuid> &pendingTakeID)
{
    QStringList parts;
    parts << QStringLiteral("cur:%1").arg(session ? qint64(session->currentSceneIndex) : -1);
    parts << QStringLiteral("pend:") + (pendingTakeID ? uuidText(*pendingTakeID) : QStringLiteral("-"));
    if (!session)
        return parts.join(u'|');
    for (const RecordingScene &scene : session->scenes) {
        parts << QStringLiteral("S:%1:%2:%3")
                     .arg(uuidText(scene.id), scene.name.value_or(QString()),
                          scene.selectedTakeID ? uuidText(*scene.selectedTakeID) : QStringLiteral("-"));
        for (const Take &take : scene.takes) {
            parts << QStringLiteral("T:%1:%2:%3")
                         .arg(uuidText(take.id), take.name.value_or(QString()),
                              QString::asprintf("%.2f", take.trimEnd - take.trimStart));
        }
    }
    return parts.join(u'|');
}

std::optional<QUuid> nextCheckedTakeID(const std::optional<QUuid> &current,
                                       const std::optional<Session> &session, int direction)
{
    const QList<QUuid> order = outlineOrder(session);
    QSet<QUuid> checked;
    if (session) {
        for (const RecordingScene &scene : session->scenes) {
            if (scene.selectedTakeID)
                checked.insert(*scene.selectedTakeID);
        }
    }
    if (checked.isEmpty())
        return std::nullopt;
    const qsizetype position = current ? order.indexOf(*current) : -1;
    if (position < 0) {
        if (direction >= 1) {
            for (const QUuid &id : order) {
                if (checked.contains(id))
                    return id;
            }
        } else {
            for (qsizetype i = order.size() - 1; i >= 0; --i) {
                if (checked.contains(order[i]))
                    return order[i];
            }
        }
        return std::nullopt;
    }
    if (direction >= 1) {
        for (qsizetype i = position + 1; i < order.size(); ++i) {
            if (checked.contains(order[i]))
                return order[i];
        }
    } else {
        for (qsizetype i = position - 1; i >= 0; --i) {
            if (checked.contains(order[i]))
                return order[i];
        }
    }
    return std::nullopt;
}

std::optional<QUuid> focusAfterDeleting(const std::optional<Session> &session,
                                        const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs)
{
    const QList<QUuid> order = outlineOrder(session);
    QSet<QUuid> removed(sceneIDs.begin(), sceneIDs.end());
    removed.unite(QSet<QUuid>(takeIDs.begin(), takeIDs.end()));
    if (session) {
        for (const RecordingScene &scene : session->scenes) {
            if (!sceneIDs.contains(scene.id))
                continue;
            for (const Take &take : scene.takes)
                removed.insert(take.id);
        }
    }
    qsizetype first = -1;
    for (qsizetype i = 0; i < order.size(); ++i) {
        if (removed.contains(order[i])) {
            first = i;
            break;
        }
    }
    if (first < 0)
        return std::nullopt;
    for (qsizetype i = first + 1; i < order.size(); ++i) {
        if (!removed.contains(order[i]))
            return order[i];
    }
    for (qsizetype i = first - 1; i >= 0; --i) {
        if (!removed.contains(order[i]))
            return order[i];
    }
    return std::nullopt;
}

QString takeMoviePath(const Session &session, const Take &take)
{
    if (!Take::isSafeFilename(take.filename))
        return {};
    const QString folder = session.bundleURL.value_or(session.scratchURL);
    return QDir(folder).filePath(QStringLiteral("takes/") + take.filename);
}

QString keptLengthText(double seconds)
{
    if (!std::isfinite(seconds))
        return QStringLiteral("--:--");
    // Clamped so that the truncation cannot overflow; no take lasts anywhere near this long.
    const double bounded = std::clamp(seconds, -1e9, 1e9);
    const long long whole = static_cast<long long>(std::trunc(bounded));
    const long long minutes = whole / 60;
    const long long rest = whole - minutes * 60;
    return QString::asprintf("%lld:%02lld", minutes, rest);
}

QString sceneDisplayName(const RecordingScene &scene, qsizetype index)
{
    return scene.name ? *scene.name : QStringLiteral("Scene %1").arg(index + 1);
}

QString takeDisplayName(const Take &take, qsizetype index)
{
    return take.name ? *take.name : QStringLiteral("Take %1").arg(index + 1);
}

} // namespace lumacast::outline
