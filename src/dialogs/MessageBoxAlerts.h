#pragma once

#include "control/ShellServices.h"

namespace lumacast {

// The state manager's modal alerts as QMessageBox dialogs. Main thread only; blocks in a nested
// event loop until the user answers.
class MessageBoxAlerts final : public AlertService {
public:
    // The index of the chosen button; 0 for the single "OK", and the last button (the cancel
    // choice by convention) when the box is closed without a choice.
    int runModal(const AlertRequest &request) override;
};

} // namespace lumacast
