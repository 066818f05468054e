#pragma once

#include "media/TimelineExport.h"
#include "support/AwaitTask.h"

#include <QCoroTask>
#include <QHash>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <optional>

// Shared by the timeline-export tests: movies made with the ffmpeg command line, a loader that
// reads them with ffprobe, and the xmllint checks every written document goes through. Their
// exports run through runTask (support/AwaitTask.h).
namespace lumacast::testing {

// The FCPXML 1.10 DTD beside the repository (../shared/formats), or empty when the checkout
// has no shared folder.
QString fcpxmlDTDPath();

// xmllint over a written document: DTD validation for FCPXML (skipped with a message printed
// once when the DTD is absent), well-formedness for FCP7 XML.
::testing::AssertionResult validatesAgainstFCPXMLDTD(const QString &documentPath);
::testing::AssertionResult isWellFormedXML(const QString &documentPath);

// Reads a movie's tracks with ffprobe; throws lumacast::Error when ffprobe cannot read it.
timeline_export::LoadedMovie loadWithFFprobe(const QString &moviePath);

// A loader answering from a table keyed by file name, for sessions whose "movies" are only
// placeholder files; an unknown name throws lumacast::Error.
timeline_export::MovieLoader tableLoader(QHash<QString, timeline_export::LoadedMovie> table);

struct MovieSpec {
    QString size = QStringLiteral("320x240");
    QString rate = QStringLiteral("30");
    double seconds = 2;
    QList<int> audioChannels; // one entry per audio track
    int sampleRate = 48000;
};

// Makes a small H.264 movie with AAC tracks through the ffmpeg command line; false on failure.
bool makeMovie(const QString &path, const MovieSpec &spec);

QString readText(const QString &path);

} // namespace lumacast::testing
