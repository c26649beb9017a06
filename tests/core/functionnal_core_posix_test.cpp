// The update lock's trust checks, against another local user (a throwaway user, POSIX file
// modes and links).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/core_env.h"
#include "platform/named_mutex.h"
#include "sessions/session_fixtures.h"

namespace {

// Another local user must not be able to hold the update lock and so refuse every
// self-update: a lock folder that others can write, a lock file of another user (held by
// that user) and a link in place of the lock file are all refused, and the update goes on.
TEST_F(FunctionnalCoreTest, AnUpdateLockThatOthersCouldHoldIsNeitherHonouredNorTaken) {
    sessions_test::ThrowawayUser user;
    if (const std::string why = user.Create(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    ::chmod(Path("").c_str(), 0755);
    const std::string folder = Path("locks");
    const std::string lock = folder + "/" + FunctionnalCore::UPDATE_MUTEX_NAME + ".lock";
    SetEnv("QVYLD_LOCK_DIR", folder);
    const struct {
        const char* name;
        mode_t folderMode;
        bool link;
        const char* refusal;
    } cases[] = {
        {"folder others can write", 01777, false, "is not a folder that only its owner can write"},
        {"file of another user", 0755, false, "is not a plain file of this service's user"},
        {"link", 0755, true, "is a symbolic link"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(folder);
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        ::chmod(folder.c_str(), c.folderMode);
        std::unique_ptr<sessions_test::LockHolder> holder;
        if (c.link) {
            WriteFile(Path("target"), "");
            ASSERT_EQ(::symlink(Path("target").c_str(), lock.c_str()), 0);
        } else {
            WriteFile(lock, "");
            ::chmod(lock.c_str(), 0644);
            ASSERT_EQ(std::system(("chown " + user.Name() + " '" + lock + "'").c_str()), 0);
            holder = std::make_unique<sessions_test::LockHolder>(user, lock, Path(""));
            ASSERT_TRUE(holder->Held()) << c.name;
        }
        EXPECT_EQ(Run(FunctionnalCore::SELF_UPDATE_FRAME, "2.6"), 0) << c.name;
        EXPECT_TRUE(Logged(std::string("the update lock is not trusted : ")));
        EXPECT_TRUE(Logged(c.refusal)) << c.name;
        const platform::NamedMutexOwner owner(FunctionnalCore::UPDATE_MUTEX_NAME);
        EXPECT_FALSE(owner.Owned()) << c.name;
        EXPECT_NE(owner.Refusal().find(c.refusal), std::string::npos) << c.name;
    }
}

}  // namespace
