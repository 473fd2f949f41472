#include "platform/posix/user_file_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/unique_fd.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t k_nobody = 65534;

bool can_open(const std::string& path) {
    return unique_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)).valid();
}

// Root reads for a user what that user could read, and nothing more; the rest of the process
// keeps root's access meanwhile, and the thread gets it back.
TEST(UserFileAccess, OpensOnlyWhatTheUserCouldOpen) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root (run in the sandbox)";
    fs::create_directories("/srv/access/private");
    std::ofstream("/srv/access/private/secret") << "secret";
    std::ofstream("/srv/access/public") << "public";
    ::chmod("/srv/access/private", 0700);
    ::chmod("/srv/access/private/secret", 0644);
    ::chmod("/srv/access/public", 0644);
    ::chown("/srv/access/public", 0, 0);
    // The user's own file in the user's own private directory.
    fs::create_directories("/srv/access/own");
    std::ofstream("/srv/access/own/file") << "own";
    ::chmod("/srv/access/own/file", 0600);
    ::chmod("/srv/access/own", 0700);
    ASSERT_EQ(::chown("/srv/access/own", k_nobody, k_nobody), 0);
    ASSERT_EQ(::chown("/srv/access/own/file", k_nobody, k_nobody), 0);

    // A thread that was running before keeps root's access throughout.
    std::atomic<int> step{0};
    bool other_thread = false;
    std::thread other([&] {
        step.wait(0);
        other_thread = can_open("/srv/access/private/secret");
        step = 2;
        step.notify_all();
    });
    {
        user_file_access_t as_user;
        ASSERT_TRUE(as_user.enter(k_nobody, k_nobody)) << "no CAP_SETUID?";
        EXPECT_TRUE(can_open("/srv/access/public"));
        EXPECT_TRUE(can_open("/srv/access/own/file"));
        EXPECT_FALSE(can_open("/srv/access/private/secret"));
        step = 1;
        step.notify_all();
        step.wait(1);
        EXPECT_TRUE(other_thread);
        // A file made meanwhile belongs to the user: the access is the user's, not just the check.
        unique_fd made(
            ::open("/tmp/made_for_nobody", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        ASSERT_TRUE(made.valid());
        struct stat info {};
        ASSERT_EQ(::fstat(made.get(), &info), 0);
        EXPECT_EQ(info.st_uid, k_nobody);
    }
    other.join();
    // Control: root's access is back on this thread.
    EXPECT_TRUE(can_open("/srv/access/private/secret"));
    ::unlink("/tmp/made_for_nobody");
}

}  // namespace
