// After a save (save, --save) the module restarts: --verify waits for it
// and reads the written setting back. The save itself is save_settings in
// command.h, which the save command shares.
#pragma once

#include "command.h"

namespace kivtool {

// Logs in again once the module is back and compares the read-back with
// what out holds; out fails when the two differ or the module stays away.
void verify_after_save(const Options &o, Outcome &out);

} // namespace kivtool
