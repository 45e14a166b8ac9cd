// The state file: the settings that "save" keeps across runs, as text lines
// "key=value" after a line naming the model.
#pragma once

#include "model.h"
#include "settings.h"

#include <string>

namespace zrmsim {

// Reads the settings saved for model m. A missing or empty file is no error:
// found is false and s is left as it was. Any other failure sets error, which
// names the file, the line and what is wrong with it.
bool load_state(const std::string &path, Model m, Settings &s, bool &found, std::string &error);

// Replaces the file as a whole (written beside it, synced, then renamed, and
// the directory synced), so that neither a reader nor a crash sees half a
// file.
bool save_state(const std::string &path, Model m, const Settings &s, std::string &error);

} // namespace zrmsim
