#pragma once

#include "media/TimelineExport.h"
#include "model/Session.h"
#include "store/FilePanelGuard.h"

#include <QCoroTask>
#include <QDate>
#include <QList>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace lumacast {

class AppLog;
class Preferences;

// A save panel as the export coordinator asks for it.
struct ExportPanelRequest {
    QString nameFieldText;            // "Lumacast-2024-05-01" (".mov" for the movie)
    std::optional<QString> message;   // the package panels' explanation
    std::optional<QString> directory; // where the panel starts
    bool moviesOnly = false;          // the movie panel accepts movie files only
};

// What the coordinator needs of the user interface: its save panels and the one alert it shows
// itself, modally. The widgets behind them belong to the user interface (review/); tests supply
// their own.
class ExportUserInterface {
public:
    virtual ~ExportUserInterface() = default;
    // A new panel, not yet shown; the coordinator hands it to the panel guard and deletes it
    // once it has answered. A panel without a parent is given the guard as its parent.
    virtual FilePanel *makeSavePanel(const ExportPanelRequest &request) = 0;
    // "Nothing to export" / "No scenes have a selected take.", modal.
    virtual void showNothingToExportAlert() = 0;
};

// One event of an export run, in the order started → progress… → succeeded or failed.
struct ExportEvent {
    enum class Kind { progress, succeeded, failed, started };
    Kind kind = Kind::started;
    double fraction = 0;      // progress
    QString location;         // succeeded: the chosen movie or package folder
    std::exception_ptr error; // failed

    static ExportEvent started() { return {}; }
    static ExportEvent progress(double fraction) { return {Kind::progress, fraction, {}, {}}; }
    static ExportEvent succeeded(const QString &location) { return {Kind::succeeded, 0, location, {}}; }
    static ExportEvent failed(std::exception_ptr error) { return {Kind::failed, 0, {}, std::move(error)}; }

    // The failure's plain description.
    QString errorDescription() const;
};

// The work the coordinator starts.
struct ExportWork {
    using Progress = std::function<void(double fraction)>;
    // (checked takes with the names the user knows them by, takes folder, destination,
    // progress). Progress may be reported from any thread; the coordinator delivers it on the
    // main thread.
    using MovieExport =
        std::function<QCoro::Task<void>(QList<timeline_export::Entry>, QString, QString, Progress)>;
    MovieExport exportMovie;
    // (session, package name, package folder)
    std::function<QCoro::Task<void>(Session, QString, QString)> writeFCPXMLPackage;
    std::function<QCoro::Task<void>(Session, QString, QString)> writeFCP7Package;

    // The editing-timeline writers over the media layer's movie reader, and `exportMovie`.
    static ExportWork withTimelineWriters(MovieExport exportMovie = {});
};

// Turns the three export commands into save panels, tasks on the main thread, log lines and
// events. Holds no state of its own: a run lives in its panel's completion and its task, so a
// run outlives the coordinator that started it. Used on the main thread only.
class ExportCoordinator {
public:
    using ExportEvent = lumacast::ExportEvent;
    // Called on the main thread, several times per run, and held until the run ends.
    using EventHandler = std::function<void(const ExportEvent &)>;

    // `ui` and the rest must outlive every run the coordinator starts (the application's shared
    // instances do).
    ExportCoordinator(ExportUserInterface &ui, Preferences &preferences, FilePanelGuard &guard,
                      ExportWork work);
    ExportCoordinator(ExportUserInterface &ui, Preferences &preferences, FilePanelGuard &guard,
                      ExportWork work, AppLog &appLog);

    void exportVideo(const Session &session, EventHandler handler);
    void exportFCPXML(const Session &session, EventHandler handler);
    void exportFCP7XML(const Session &session, EventHandler handler);

    // "Lumacast-" and the local date, for the panels' name field.
    static QString defaultName(const QDate &date = QDate::currentDate());

    static const QString &fcpxmlPanelMessage();
    static const QString &fcp7PanelMessage();

private:
    enum class Package { fcpxml, fcp7 };
    void exportPackage(const Session &session, EventHandler handler, Package package);

    ExportUserInterface *m_ui;
    Preferences *m_preferences;
    FilePanelGuard *m_guard;
    AppLog *m_appLog;
    ExportWork m_work;
};

} // namespace lumacast
