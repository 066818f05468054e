#pragma once

#include "model/Session.h"
#include "store/FilePanelGuard.h"

#include <QCoroTask>
#include <QDate>
#include <QList>
#include <QString>

#include <exception>
#include <functional>
#include <optional>

namespace lumacast {

class Preferences;

// A save panel as the export coordinator asks for it. The widgets behind it belong to the user
// interface; tests supply panels of their own.
struct ExportPanelRequest {
    QString nameFieldText;            // "Lumacast-2024-05-01" (".mov" for the movie)
    std::optional<QString> message;   // the package panels' explanation
    std::optional<QString> directory; // where the panel starts
    bool moviesOnly = false;          // the movie panel accepts movie files only
};

class ExportSavePanel : public FilePanel {
    Q_OBJECT
public:
    using FilePanel::FilePanel;
    // The folder the panel was showing when it ended, if it reports one.
    virtual std::optional<QString> directory() const = 0;
};

// What the coordinator needs of the user interface: its save panels and the one alert it shows
// itself, modally.
class ExportUserInterface {
public:
    virtual ~ExportUserInterface() = default;
    virtual ExportSavePanel *makeSavePanel(const ExportPanelRequest &request) = 0;
    virtual void showNothingToExportAlert() = 0; // "Nothing to export" / "No scenes have a selected take."
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

// The work the coordinator starts; the package writers default to the real ones.
struct ExportWork {
    using Progress = std::function<void(double fraction)>;
    // (checked takes, takes folder, destination, progress on the main thread)
    std::function<QCoro::Task<void>(QList<Take>, QString, QString, Progress)> exportMovie;
    // (session, package name, package folder)
    std::function<QCoro::Task<void>(Session, QString, QString)> writeFCPXMLPackage;
    std::function<QCoro::Task<void>(Session, QString, QString)> writeFCP7Package;
    // The one-line description of an error and its underlying errors.
    std::function<QString(std::exception_ptr)> describeErrorChain;

    static ExportWork withTimelineWriters();
};

// Turns the three export commands into save panels, tasks on the main thread, log lines and
// events. Holds no state of its own: a run lives in its panel's completion and its task.
class ExportCoordinator {
public:
    using EventHandler = std::function<void(const ExportEvent &)>;

    ExportCoordinator(ExportUserInterface &ui, Preferences &preferences, FilePanelGuard &guard,
                      ExportWork work);

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
    void storeDirectory(ExportSavePanel *panel);

    ExportUserInterface &m_ui;
    Preferences &m_preferences;
    FilePanelGuard &m_guard;
    ExportWork m_work;
};

} // namespace lumacast
