// The operation locks and the main functions' frame.
#include <stdexcept>
#include <string>
#include <vector>

#include "core/core_env.h"
#include "platform/named_mutex.h"

namespace {

TEST_F(FunctionnalCoreTest, LockPrimitives) {
    EXPECT_FALSE(FunctionnalCore::Lock(""));
    EXPECT_FALSE(FunctionnalCore::IsLocked(""));
    EXPECT_FALSE(FunctionnalCore::Release(""));
    EXPECT_FALSE(Logged("current locks"));

    EXPECT_TRUE(FunctionnalCore::Lock("a"));
    EXPECT_TRUE(FunctionnalCore::Lock("b"));
    EXPECT_TRUE(FunctionnalCore::Lock("c"));
    EXPECT_FALSE(FunctionnalCore::Lock("b"));
    EXPECT_TRUE(FunctionnalCore::IsLocked("b"));
    EXPECT_FALSE(FunctionnalCore::IsLocked("B"));
    EXPECT_FALSE(FunctionnalCore::Release("d"));
    EXPECT_TRUE(FunctionnalCore::Release("b"));
    EXPECT_FALSE(FunctionnalCore::IsLocked("b"));
    EXPECT_TRUE(FunctionnalCore::IsLocked("a"));

    EXPECT_TRUE(Logged("{INTERNAL}:[FunctionnalCore::Lock]Locking this id : c"));
    EXPECT_TRUE(Logged("{INTERNAL}:[FunctionnalCore::Release]Releasing this id : b"));
    EXPECT_TRUE(Logged("{INTERNAL}:[FunctionnalCore::Release]current locks : a, b, c\n"));
    // The others keep their order.
    EXPECT_TRUE(Logged("{INTERNAL}:[FunctionnalCore::IsLocked]current locks : a, c\n"));
}

TEST_F(FunctionnalCoreTest, RefusedFrameAnswersBusyWithoutEndBanner) {
    FunctionnalCore::Lock(FunctionnalCore::INSTALL_LOCK);
    EXPECT_EQ(Run(FunctionnalCore::INSTALL_FRAME, "2.6"), 100);
    EXPECT_FALSE(called_);
    EXPECT_TRUE(Logged(Started("INSTALL")));
    EXPECT_FALSE(Logged(Ended("INSTALL")));
    // The running installation keeps its lock.
    EXPECT_TRUE(FunctionnalCore::IsLocked(FunctionnalCore::INSTALL_LOCK));
}

TEST_F(FunctionnalCoreTest, RefusalTestsOfTheFrames) {
    using FC = FunctionnalCore;
    struct Row {
        const FC::Frame* frame;
        std::vector<std::string> held;
        bool refused;
    };
    const Row rows[] = {
        {&FC::LAUNCH_Z5INSTALL_FRAME, {FC::SELF_UPDATE_LOCK}, true},
        {&FC::LAUNCH_Z5INSTALL_FRAME, {FC::INSTALL_LOCK}, false},
        {&FC::SELF_UPDATE_FRAME, {"an-installation-id"}, true},
        {&FC::SELF_UPDATE_FRAME, {}, false},
        {&FC::INSTALL_FRAME, {FC::SELF_UPDATE_LOCK}, true},
        {&FC::INSTALL_FRAME, {FC::UNINSTALL_LOCK_ID}, false},
        {&FC::REINSTALL_FRAME, {FC::INSTALL_LOCK}, false},
        {&FC::REINSTALL_FRAME, {FC::UNINSTALL_LOCK_ID}, false},
        {&FC::REINSTALL_FRAME, {FC::INSTALL_LOCK, FC::UNINSTALL_LOCK_ID}, true},
        {&FC::UNINSTALL_FRAME, {FC::UNINSTALL_LOCK_ID}, true},
        {&FC::UNINSTALL_FRAME, {FC::INSTALL_LOCK}, false},
    };
    for (const Row& row : rows) {
        FC::ResetForTests();
        for (const std::string& id : row.held) {
            FC::Lock(id);
        }
        EXPECT_EQ(Run(*row.frame, "2.6") == 100, row.refused) << row.frame->bannerWord;
        EXPECT_EQ(called_, !row.refused) << row.frame->bannerWord;
    }
}

TEST_F(FunctionnalCoreTest, LowLevelAnswers104AfterLocksAndTrayThenReleases) {
    std::vector<std::string> seenLocks;
    FunctionnalCore::SetTrayStarter([&seenLocks](const ZorvidRequestInfo& request) {
        EXPECT_EQ(request.GetZorvidId(), "page");
        for (const char* id : {FunctionnalCore::UNINSTALL_LOCK_ID, FunctionnalCore::INSTALL_LOCK}) {
            if (FunctionnalCore::IsLocked(id)) {
                seenLocks.push_back(id);
            }
        }
        return true;
    });
    EXPECT_EQ(Run(FunctionnalCore::REINSTALL_FRAME, "2.5"), 104);
    EXPECT_FALSE(called_);
    EXPECT_EQ(seenLocks, (std::vector<std::string>{"UNINSTALL_LOCK_ID", "INSTALL_LOCK"}));
    EXPECT_FALSE(FunctionnalCore::IsLocked(FunctionnalCore::UNINSTALL_LOCK_ID));
    EXPECT_FALSE(FunctionnalCore::IsLocked(FunctionnalCore::INSTALL_LOCK));
    EXPECT_TRUE(Logged(Ended("RE-INSTALL")));

    // Released in the order they were taken.
    const std::string log = LogText();
    EXPECT_LT(log.find("Releasing this id : UNINSTALL_LOCK_ID"),
              log.find("Releasing this id : INSTALL_LOCK"));
}

TEST_F(FunctionnalCoreTest, LevelRequirementsOfTheFrames) {
    using FC = FunctionnalCore;
    const std::tuple<const FC::Frame*, const char*, bool> rows[] = {
        {&FC::UNINSTALL_FRAME, "2.1", false},         {&FC::UNINSTALL_FRAME, "2.2", true},
        {&FC::REINSTALL_FRAME, "2.5", false},         {&FC::REINSTALL_FRAME, "2.6", true},
        {&FC::SELF_UPDATE_FRAME, "1.9", false},       {&FC::SELF_UPDATE_FRAME, "2.0", true},
        {&FC::CREATE_SHORTCUT_FRAME, "0.1", true},    {&FC::CREATE_SHORTCUT_FRAME, "x", false},
        {&FC::DISCOVER_ALL_INSTALL_FRAME, "3", true},
    };
    for (const auto& [frame, level, runs] : rows) {
        const std::int32_t rc = Run(*frame, level, 7);
        EXPECT_EQ(rc, runs ? 7 : 104) << frame->bannerWord << " " << level;
        EXPECT_TRUE(Logged(Ended(frame->bannerWord))) << frame->bannerWord;
    }
}

TEST_F(FunctionnalCoreTest, SelfUpdateWaitsForTheUpdateProcess) {
    {
        platform::NamedMutexOwner update(FunctionnalCore::UPDATE_MUTEX_NAME);
        ASSERT_TRUE(update.Owned());
        EXPECT_EQ(Run(FunctionnalCore::SELF_UPDATE_FRAME, "2.6"), 210);
        EXPECT_FALSE(called_);
        EXPECT_FALSE(FunctionnalCore::IsLocked(FunctionnalCore::SELF_UPDATE_LOCK));
        EXPECT_TRUE(
            Logged("{DEBUG}:[FunctionnalCore::SelfUpdate]the mutex is existing ! An "
                   "update is already running."));
        EXPECT_FALSE(Logged(Ended("SELF UPDATE")));
        // Only the self-update looks at the update process.
        EXPECT_EQ(Run(FunctionnalCore::INSTALL_FRAME, "2.6"), 0);
    }
    EXPECT_EQ(Run(FunctionnalCore::SELF_UPDATE_FRAME, "2.6"), 0);
}

TEST_F(FunctionnalCoreTest, OperationSeesItsLocksAndExceptionsReleaseThem) {
    bool busyDuring = false;
    FunctionnalCore::RunInFrame(FunctionnalCore::INSTALL_FRAME, Request("2.6"), [&busyDuring] {
        busyDuring = FunctionnalCore::IsBlockingOperationsAreRunning();
        return 0;
    });
    EXPECT_TRUE(busyDuring);
    EXPECT_FALSE(FunctionnalCore::IsBlockingOperationsAreRunning());

    EXPECT_THROW(
        FunctionnalCore::RunInFrame(FunctionnalCore::UNINSTALL_FRAME, Request("2.6"),
                                    []() -> std::int32_t { throw std::runtime_error("x"); }),
        std::runtime_error);
    EXPECT_FALSE(FunctionnalCore::IsLocked(FunctionnalCore::UNINSTALL_LOCK_ID));
}

TEST_F(FunctionnalCoreTest, ExeWhiteListIsReadOnceAndMayBeMissing) {
    FunctionnalCore::Init();
    EXPECT_TRUE(FunctionnalCore::ExeWhiteList().empty());
    EXPECT_FALSE(Logged("[FunctionnalCore::Init]"));

    FunctionnalCore::ResetForTests();
    WriteFile(Path("install/whiteList_exe"), "a.exe\nb.exe\n");
    FunctionnalCore::Init();
    EXPECT_EQ(FunctionnalCore::ExeWhiteList(), (std::vector<std::string>{"a.exe", "b.exe"}));
    EXPECT_TRUE(Logged("{DEBUG}:[FunctionnalCore::Init]Exe White list set to :[a.exe, b.exe]"));

    WriteFile(Path("install/whiteList_exe"), "c.exe\n");
    FunctionnalCore::Init();
    EXPECT_EQ(FunctionnalCore::ExeWhiteList().size(), 2u);
}

class NamedMutexTest : public FrontEnv {};

TEST_F(NamedMutexTest, ExistsWhileOwned) {
    const std::string name = "vl/core test";
    EXPECT_FALSE(platform::NamedMutexExists(name));
    {
        platform::NamedMutexOwner owner(name);
        ASSERT_TRUE(owner.Owned());
        EXPECT_TRUE(platform::NamedMutexExists(name));
        EXPECT_TRUE(platform::NamedMutexExists(name));
        platform::NamedMutexOwner second(name);
        EXPECT_FALSE(second.Owned());
    }
    EXPECT_FALSE(platform::NamedMutexExists(name));
}

}  // namespace
