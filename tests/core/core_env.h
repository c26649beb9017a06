// FunctionnalCoreTest runs main-function frames in a fresh daemon context (FrontEnv) with an
// operation of the test's own.
#pragma once

#include <cstdint>
#include <string>

#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "front/front_env.h"

class FunctionnalCoreTest : public FrontEnv {
  protected:
    static ZorvidRequestInfo Request(const std::string& level) {
        return ZorvidRequestInfo("page", "", "", "", "", level);
    }

    // Run runs a frame whose operation records the locks it sees and answers rc.
    std::int32_t Run(const FunctionnalCore::Frame& frame, const std::string& level,
                     std::int32_t rc = 0) {
        called_ = false;
        return FunctionnalCore::RunInFrame(frame, Request(level), [this, rc] {
            called_ = true;
            return rc;
        });
    }

    static std::string Started(const std::string& word) {
        return "{DEBUG}:################### " + word + " FUNCTION STARTED ################";
    }
    static std::string Ended(const std::string& word) {
        return "{DEBUG}:################### " + word + " FUNCTION ENDED [duration:";
    }

    bool called_ = false;
};
