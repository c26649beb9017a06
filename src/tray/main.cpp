// The tray executable's entry point: the tray program, or the spinner with "--spinner".
#include <exception>
#include <string>

#include "base/logger.h"
#include "session/companions.h"
#include "session/user_program.h"
#include "tray/tray.h"

int main(int argc, char** argv) {
    try {
        UserProgram::Init("tray", Companions::kTrayProgram);
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == Companions::kSpinnerMode) {
            return Tray::RunSpinner();
        }
        if (!mode.empty()) {
            Logger::Error("[Main]usage: " + Companions::TrayExecutableName() + " [--spinner]");
            return Companions::kExitUsage;
        }
        return Tray::RunTray();
    } catch (const std::exception& e) {
        Logger::LogException(e, "[Main]", false);
        return Companions::kExitPipeFailed;
    }
}
