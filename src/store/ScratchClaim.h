#pragma once

#include <QString>

#include <optional>

#include <sys/types.h>

namespace lumacast {

// The claim of a running program on the folder of the recording it has open (a scratch folder
// or a package): an exclusive flock on ".lumacast-lock" inside the folder, which the kernel
// drops however the program ends. A lock on a file, not on the folder or a socket, so that a
// second Lumacast of the same user sees it from another display and, where flock works across
// machines (NFS), from another machine sharing the home folder. A folder another program claims
// is not offered for recovery, discarded, cleaned up, opened or replaced. Claims of this process
// on one folder share the lock. The lock file gets the folder's read bits, so that every user who
// may read the recording sees the lock (see `lockProblem` for one who cannot). Any thread; a
// folder whose lock file cannot be made stays unclaimed.
class ScratchClaim {
public:
    static constexpr const char *kFileName = ".lumacast-lock";

    explicit ScratchClaim(const QString &folder);
    ~ScratchClaim();
    ScratchClaim(const ScratchClaim &) = delete;
    ScratchClaim &operator=(const ScratchClaim &) = delete;

    // False when another program holds the folder, or its lock file could not be made.
    bool isHeld() const { return m_held; }
    const QString &folder() const { return m_folder; }

    // Whether a program holds a claim on the folder, this one included, or its lock file cannot
    // be looked at or locked: before anything in it is removed.
    static bool isClaimed(const QString &folder);
    // Whether another program certainly holds a claim on the folder: before it is opened.
    static bool isClaimedElsewhere(const QString &folder);
    // Why the folder's lock cannot be checked (a link, a lock only its owner may read, a file
    // system without locks), as the system says it; empty when it can, or there is none.
    static QString lockProblem(const QString &folder);

    // What a command that would open or change a recording another program holds says.
    static QString openElsewhereMessage(const QString &folder);
    static QString uncheckedMessage(const QString &folder, const QString &problem);
    // Why the folder at `path` may not be replaced or removed now (a recording open here or in
    // another program, or one whose lock cannot be checked); nullopt for anything else, a file
    // or nothing at `path` included.
    static std::optional<QString> refusalToReplace(const QString &path);

    // Where the claimed folder is now, told by a descriptor on it held since the claim: renamed
    // or moved within its file system (into the Trash, say) it is found under its new path;
    // removed (or moved to another file system, which copies and removes) it is gone.
    // `replaced`: the claimed path names another item now. An unclaimed folder is `unchanged`.
    struct Whereabouts {
        enum class Place { unchanged, moved, removed };
        Place place = Place::unchanged;
        QString folder; // its path now; empty once removed
        bool replaced = false;
        bool inTrash = false;
    };
    Whereabouts whereabouts() const;
    // Whether the path lies in a trash can's "files": the home's or a volume's (".Trash-UID",
    // ".Trash/UID").
    static bool isInTrash(const QString &path);

private:
    QString m_folder;
    int m_folderFd = -1; // O_PATH, on the folder the lock was taken in
    dev_t m_device = 0;
    ino_t m_inode = 0;
    bool m_held = false;
};

} // namespace lumacast
