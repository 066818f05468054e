#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

namespace lumacast {

// An open or save panel as the guard sees it. The store knows nothing of widgets: the dialog
// behind a panel lives with the user interface (review/FileDialogPanel), and tests may supply a
// panel of their own.
class FilePanel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Shows the panel without blocking; `finished` follows when the user answers.
    virtual void showPanel() = 0;
    // Makes the panel the key window and brings it in front of the others, restored when it, or
    // the window it stands over, was minimized.
    virtual void bringToFront() = 0;

signals:
    // Emitted once per showing. `accepted` is false when the user cancelled; `selection` holds
    // the chosen paths otherwise.
    void finished(bool accepted, const QStringList &selection);
};

// The one record of the application's open or save panel: at most one is up at any time, and
// a second request brings the one that is up to the front instead of opening another. Used on
// the main thread only.
class FilePanelGuard : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isPresenting READ isPresenting WRITE setPresenting NOTIFY isPresentingChanged)
public:
    using Completion = std::function<void(bool accepted, const QStringList &selection)>;

    static FilePanelGuard &shared();

    FilePanelGuard() = default;

    bool isPresenting() const { return m_isPresenting; }
    void setPresenting(bool presenting);

    // The panel that is up, if any; becomes null by itself when that panel is destroyed.
    FilePanel *current() const { return m_current.data(); }
    void setCurrent(FilePanel *panel);

    // The protocol every panel user follows. When a panel is already up it is brought to the
    // front, `panel` is dropped (deleted later) and false is returned. Otherwise `panel` becomes
    // current, is shown, and on its answer the guard is cleared before `completion` runs with
    // that answer; returns true. A panel destroyed before it answers counts as cancelled. The
    // guard takes no ownership of a panel it shows.
    bool present(FilePanel *panel, Completion completion);

signals:
    void isPresentingChanged(bool isPresenting);

private:
    void panelDestroyed();
    void finish(bool accepted, const QStringList &selection);

    bool m_isPresenting = false;
    QPointer<FilePanel> m_current;
    QMetaObject::Connection m_destroyedConnection;
    QMetaObject::Connection m_finishedConnection;
    Completion m_completion;
};

} // namespace lumacast
