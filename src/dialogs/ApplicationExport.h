#pragma once

#include "media/ExportCoordinator.h"

#include <memory>

namespace lumacast {

class DialogExportUserInterface;

// The coordinator the application runs: its panels and alert as widgets, the shared preferences
// and panel guard, the editing-timeline writers, and the movie export re-encoding with the very
// settings the take writer records with (so re-encoded takes can still be passed through beside
// recorded ones).
std::unique_ptr<ExportCoordinator> makeApplicationExportCoordinator(DialogExportUserInterface &ui);

} // namespace lumacast
