// The worker's operations convert path texts through the platform's UTF-8 path helpers.
#pragma once

#include "platform/path.h"

namespace WorkerOps {

using platform::FsPath;
using platform::PathText;

}  // namespace WorkerOps
