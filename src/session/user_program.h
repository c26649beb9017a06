// What the launcher's programs that run in a user's session (the worker and the tray) set up
// before anything else, so that they resolve every named folder as the daemon does.
#pragma once

#include <string>

namespace UserProgram {

// Init resolves the folders in the user's context, reads the configuration and starts the
// log named logName for the program. The log goes to the shared log folder when this user may
// write there, else to the user's own runtime folder. Standard output gets no copy: it may be
// the daemon's.
void Init(const std::string& logName, const std::string& program);

}  // namespace UserProgram
