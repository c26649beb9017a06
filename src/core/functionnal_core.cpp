#include "core/functionnal_core.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

#include "base/folders.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "platform/named_mutex.h"

using ToolBox::Join;

namespace {

using Refusal = FunctionnalCore::Refusal;

// The lock list and the initialised flag share the lock-list mutex. The busy mutex is only
// ever taken before it, never inside it.
struct CoreState {
    std::mutex listMutex;
    std::mutex busyMutex;
    std::vector<std::string> locks;
    std::vector<std::string> exeWhiteList;
    bool initialised = false;
    std::mutex trayMutex;
    FunctionnalCore::TrayStarter trayStarter;
};

CoreState& State() {
    static CoreState state;
    return state;
}

bool HasAnyLock() {
    CoreState& state = State();
    std::lock_guard lock(state.listMutex);
    return !state.locks.empty();
}

bool IsRefused(Refusal refusal) {
    switch (refusal) {
        case Refusal::WhenSelfUpdateRunning:
            return FunctionnalCore::IsLocked(FunctionnalCore::SELF_UPDATE_LOCK);
        case Refusal::WhenBlockingRunning:
            return FunctionnalCore::IsBlockingOperationsAreRunning();
        case Refusal::WhenBlockingAndUninstallRunning:
            return FunctionnalCore::IsBlockingOperationsAreRunning() &&
                   FunctionnalCore::IsLocked(FunctionnalCore::UNINSTALL_LOCK_ID);
        case Refusal::WhenAnyLockHeld:
            return HasAnyLock();
        case Refusal::WhenUninstallRunning:
            return FunctionnalCore::IsLocked(FunctionnalCore::UNINSTALL_LOCK_ID);
    }
    return false;
}

bool MeetsLevel(const DaemonVersion& level, const FunctionnalCore::LevelRequirement& needed) {
    return level.major >= needed.minMajor && level.minor >= needed.minMinor;
}

void StartTray(const ZorvidRequestInfo& request) {
    FunctionnalCore::TrayStarter starter;
    {
        CoreState& state = State();
        std::lock_guard lock(state.trayMutex);
        starter = state.trayStarter;
    }
    if (starter) {
        starter(request);
    }
}

// HeldLocks takes the frame's locks in order and releases them in the same order when the
// operation is over, however it ends. A lock found already held is still released: the
// frame does not look at what Lock answered.
class HeldLocks {
  public:
    explicit HeldLocks(const std::vector<std::string>& ids) : ids_(ids) {
        for (const std::string& id : ids_) {
            FunctionnalCore::Lock(id);
        }
    }
    ~HeldLocks() {
        for (const std::string& id : ids_) {
            FunctionnalCore::Release(id);
        }
    }
    HeldLocks(const HeldLocks&) = delete;
    HeldLocks& operator=(const HeldLocks&) = delete;

  private:
    const std::vector<std::string>& ids_;
};

std::string Banner(const std::string& word, const std::string& tail) {
    return "################### " + word + tail;
}

std::string FormatMilliseconds(std::chrono::steady_clock::duration elapsed) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed);
    const float milliseconds = static_cast<float>(nanoseconds.count() / 1000000.0);
    char text[64] = {};
    std::snprintf(text, sizeof(text), "%f", static_cast<double>(milliseconds));
    return text;
}

}  // namespace

const FunctionnalCore::Frame FunctionnalCore::CREATE_SHORTCUT_FRAME{
    .bannerWord = "CREATE SHORTCUT",
    .refusal = Refusal::WhenSelfUpdateRunning,
    .checkUpdateMutex = false,
    .locks = {},
    .startTray = false,
    .level = {.minMajor = 0, .minMinor = -1}};
const FunctionnalCore::Frame FunctionnalCore::CREATE_SHORTCUT_Z5INSTALL_FRAME{
    .bannerWord = "CREATE SHORTCUT Z5INSTALL",
    .refusal = Refusal::WhenSelfUpdateRunning,
    .checkUpdateMutex = false,
    .locks = {},
    .startTray = false,
    .level = {.minMajor = 0, .minMinor = -1}};
// The installation id is locked by the launch itself, once it knows the installation.
const FunctionnalCore::Frame FunctionnalCore::LAUNCH_Z5INSTALL_FRAME{
    .bannerWord = "LAUNCHZ5INSTALL",
    .refusal = Refusal::WhenSelfUpdateRunning,
    .checkUpdateMutex = false,
    .locks = {},
    .startTray = true,
    .level = {.minMajor = 0, .minMinor = -1}};
const FunctionnalCore::Frame FunctionnalCore::DISCOVER_ALL_INSTALL_FRAME{
    .bannerWord = "DISCOVER ALL INSTALL",
    .refusal = Refusal::WhenSelfUpdateRunning,
    .checkUpdateMutex = false,
    .locks = {},
    .startTray = false,
    .level = {.minMajor = 0, .minMinor = -1}};
const FunctionnalCore::Frame FunctionnalCore::INSTALL_FRAME{
    .bannerWord = "INSTALL",
    .refusal = Refusal::WhenBlockingRunning,
    .checkUpdateMutex = false,
    .locks = {INSTALL_LOCK},
    .startTray = true,
    .level = {.minMajor = 0, .minMinor = -1}};
// A reinstallation is refused only when both an installation and an uninstallation run. With
// an installation alone it proceeds, and its release of INSTALL_LOCK at the end also drops the
// lock of that running installation.
const FunctionnalCore::Frame FunctionnalCore::REINSTALL_FRAME{
    .bannerWord = "RE-INSTALL",
    .refusal = Refusal::WhenBlockingAndUninstallRunning,
    .checkUpdateMutex = false,
    .locks = {UNINSTALL_LOCK_ID, INSTALL_LOCK},
    .startTray = true,
    .level = {.minMajor = 2, .minMinor = 6}};
const FunctionnalCore::Frame FunctionnalCore::SELF_UPDATE_FRAME{
    .bannerWord = "SELF UPDATE",
    .refusal = Refusal::WhenAnyLockHeld,
    .checkUpdateMutex = true,
    .locks = {SELF_UPDATE_LOCK},
    .startTray = true,
    .level = {.minMajor = 2, .minMinor = -1}};
const FunctionnalCore::Frame FunctionnalCore::UNINSTALL_FRAME{
    .bannerWord = "UNINSTALL",
    .refusal = Refusal::WhenUninstallRunning,
    .checkUpdateMutex = false,
    .locks = {UNINSTALL_LOCK_ID},
    .startTray = true,
    .level = {.minMajor = 2, .minMinor = 2}};

bool FunctionnalCore::Lock(const std::string& id) {
    if (id.empty()) {
        return false;
    }
    CoreState& state = State();
    std::lock_guard lock(state.listMutex);
    Logger::Internal("[FunctionnalCore::Lock]current locks : " + Join(state.locks, ", "));
    if (std::find(state.locks.begin(), state.locks.end(), id) != state.locks.end()) {
        return false;
    }
    Logger::Internal("[FunctionnalCore::Lock]Locking this id : " + id);
    state.locks.push_back(id);
    return true;
}

bool FunctionnalCore::IsLocked(const std::string& id) {
    if (id.empty()) {
        return false;
    }
    CoreState& state = State();
    std::lock_guard lock(state.listMutex);
    Logger::Internal("[FunctionnalCore::IsLocked]current locks : " + Join(state.locks, ", "));
    return std::find(state.locks.begin(), state.locks.end(), id) != state.locks.end();
}

bool FunctionnalCore::Release(const std::string& id) {
    if (id.empty()) {
        return false;
    }
    CoreState& state = State();
    std::lock_guard lock(state.listMutex);
    Logger::Internal("[FunctionnalCore::Release]current locks : " + Join(state.locks, ", "));
    auto it = std::find(state.locks.begin(), state.locks.end(), id);
    if (it == state.locks.end()) {
        return false;
    }
    Logger::Internal("[FunctionnalCore::Release]Releasing this id : " + id);
    state.locks.erase(it);
    return true;
}

bool FunctionnalCore::IsBlockingOperationsAreRunning() {
    Logger::Internal("[FunctionnalCore::IsBlockingOperationsAreRunning] is there is some lock ?");
    std::lock_guard busy(State().busyMutex);
    return IsLocked(INSTALL_LOCK) || IsLocked(SELF_UPDATE_LOCK);
}

void FunctionnalCore::Init() {
    CoreState& state = State();
    std::lock_guard lock(state.listMutex);
    if (state.initialised) {
        return;
    }
    std::string folder;
    if (FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder)) {
        const std::string path = ToolBox::JoinPath(folder, "whiteList_exe");
        if (ToolBox::PathExists(path)) {
            std::vector<std::string> lines;
            if (ToolBox::File::ReadLines(path, lines)) {
                state.exeWhiteList = std::move(lines);
                Logger::Debug("[FunctionnalCore::Init]Exe White list set to :[" +
                              Join(state.exeWhiteList, ", ") + "]");
            } else {
                Logger::Error("[FunctionnalCore::Init]Fail to read this file :" + path);
            }
        }
    }
    state.initialised = true;
}

std::int32_t FunctionnalCore::RunInFrame(const Frame& frame, const ZorvidRequestInfo& request,
                                         const Operation& operation) {
    Init();
    const auto start = std::chrono::steady_clock::now();
    Logger::Debug(Banner(frame.bannerWord, " FUNCTION STARTED ################"));

    if (IsRefused(frame.refusal)) {
        return ReturnCode::RC_DAEMON_BUSY;
    }
    std::string refusal;
    if (frame.checkUpdateMutex && platform::NamedMutexExists(UPDATE_MUTEX_NAME, &refusal)) {
        Logger::Debug(
            "[FunctionnalCore::SelfUpdate]the mutex is existing ! An update is already "
            "running.");
        return ReturnCode::RC_UPDATE_IN_PROGRESS;
    }
    if (!refusal.empty()) {
        Logger::Warn("[FunctionnalCore::SelfUpdate]the update lock is not trusted : " + refusal);
    }

    std::int32_t result = ReturnCode::RC_INVALID_DAEMON_LEVEL;
    {
        HeldLocks held(frame.locks);
        if (frame.startTray) {
            StartTray(request);
        }
        if (MeetsLevel(request.GetProtocolVersion(), frame.level)) {
            result = operation();
        }
    }

    Logger::Debug(Banner(frame.bannerWord, " FUNCTION ENDED [duration:") +
                  FormatMilliseconds(std::chrono::steady_clock::now() - start) +
                  "] ################");
    return result;
}

void FunctionnalCore::SetTrayStarter(TrayStarter starter) {
    CoreState& state = State();
    std::lock_guard lock(state.trayMutex);
    state.trayStarter = std::move(starter);
}

std::vector<std::string> FunctionnalCore::ExeWhiteList() {
    CoreState& state = State();
    std::lock_guard lock(state.listMutex);
    return state.exeWhiteList;
}

void FunctionnalCore::ResetForTests() {
    CoreState& state = State();
    std::lock_guard lock(state.listMutex);
    state.locks.clear();
    state.exeWhiteList.clear();
    state.initialised = false;
}
