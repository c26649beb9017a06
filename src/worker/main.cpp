// The GUI executable's entry point, in the modes the daemon starts it with.
#include <exception>
#include <string>

#include "base/logger.h"
#include "platform/process.h"
#include "session/companions.h"
#include "session/user_program.h"
#include "worker/worker.h"

namespace {

int Dispatch(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == Companions::kRunMode && argc > 2) {
        return Worker::Serve(argv[2]);
    }
    if (mode == Companions::kPostStatusMode && argc > 2) {
        return Worker::PostStatus(argv[2]);
    }
    if (mode == Companions::kUpdateMode) {
        Logger::Error("[Main]the update mode is not available in this build");
        return Companions::kExitNotAvailable;
    }
    Logger::Error("[Main]usage: " + Companions::GuiExecutableName() +
                  " run <pipe name> | postStatus <json>");
    return Companions::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        // First, while this is the only thread: the session's display and bus, which the
        // daemon could only guess, come from the user's own service manager when there is
        // one. The commands this worker runs and its dialogs get them too.
        const bool adopted = platform::AdoptSessionEnvironment();
        UserProgram::Init("worker", Companions::kGuiProgram);
        Logger::Internal(std::string("[Main]session environment : ") +
                         (adopted ? "the user's service manager" : "as started"));
        return Dispatch(argc, argv);
    } catch (const std::exception& e) {
        Logger::LogException(e, "[Main]", false);
        return Companions::kExitPipeFailed;
    }
}
