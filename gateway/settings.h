// Declared module settings: log in to the module's configuration service,
// read what is declared, write only what differs (each write echo-checked
// by the library), save when asked and read it back after the restart, and
// say what was found, changed and what failed.
#pragma once

#include "config.h"

#include <string>

namespace gateway {

// What one settings run leaves for the next run on the same module. A save
// restarts the module, so a save that failed, or one whose values did not
// survive the restart, is never tried again while the module's poller
// lives: otherwise every restart would bring the old values back and call
// for another save and another restart.
struct SaveState {
    enum class Next {
        save,    // write what differs and save it when asked
        verify,  // a save was sent: read back only, once the module is back
        hold,    // saving failed: write what differs, never save
    };
    Next next = Next::save;
    std::string why;  // with hold: the failure that ended saving
};

struct SettingsRun {
    // One JSON object: {"module", "ts", "found", "changed", "failed",
    // "saved"}; "found" and "changed" map a setting to its value (channel
    // lists, range labels), "failed" to the result name or the reason.
    std::string report;
    SaveState state;
};

SettingsRun apply_settings(const ModuleConfig &m, const SaveState &state);

} // namespace gateway
