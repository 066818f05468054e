#pragma once

#include <QString>
#include <QUuid>

#include <optional>

namespace lumacast {

class AppStateManager;

// Where the open recording's folder is now, looked at before anything is written into it or
// deleted from it (autosave, the final save, Save As, a take's filing, the orphan clean-up) and
// when the application comes to the front. Renamed or moved on its file system (the claim's
// descriptor tells where), the recording follows: its paths (a tail's under way too), the window's
// title, the reopened document and the history log go where the folder is; moved into the Trash, the user is told
// once. Removed, or another item put at its path (a file manager's or another program's
// replace), nothing more is written or deleted under that path: the user is told what is lost,
// and the saves fail from then on. Works on the manager's fields; main thread only.
class FolderFollower {
public:
    explicit FolderFollower(AppStateManager &manager);

    // False when the open recording's folder is gone: then nothing may touch its path.
    bool follow();
    // Whether the open recording's folder was found gone.
    bool isLost() const;
    // The open recording's folder is being removed by Lumacast itself ("Don’t Save"): gone, and
    // nothing said of it.
    void letGo();
    // Why nothing can be saved once the folder is gone.
    QString goneText() const;
    // What quitting without saving loses, said by the alert that offers it.
    QString whatQuitLoses() const;
    // The recording just opened (at launch, say, after a crash) lies in a Trash: the user is told
    // again that emptying the Trash deletes it.
    void tellIfInTrash();

private:
    void moveTo(const QString &folder, bool inTrash, bool replaced);
    void reportLoss(bool replaced);
    void tellOfTrash(const QString &title, const QString &what, const QString &folder);
    // Said once the current command is through: a save must not run a modal loop halfway.
    void tellLater(const QString &title, const QString &text);

    AppStateManager &m;
    std::optional<QUuid> m_lost;      // the recording whose folder is gone
    std::optional<QUuid> m_toldTrash; // the recording the Trash notice was for
};

} // namespace lumacast
