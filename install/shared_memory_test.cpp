#include "install/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>

#include "helper/helper_tool.h"
#include "tests/support/trace_capture.h"

namespace {

// The published XXH32 values of the six base names (seed 19), bytes least significant first.
const char* const g_names[] = {"7af749cc", "2eca9279", "e2aed581"};
const char* const l_names[] = {"410fe7ba", "e4e3f671", "1a558587"};

TEST(SharedMemoryNames, MatchThePublishedHashes) {
    const string_t gsystem("gsystem");
    const string_t lsystem("lsystem");
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(shared_memory_object_name(gsystem, k_shared_memory_suffixes[i]).c_str(),
                     g_names[i]);
        EXPECT_STREQ(shared_memory_object_name(lsystem, k_shared_memory_suffixes[i]).c_str(),
                     l_names[i]);
    }
    // "cv_gsystem_evt_event_mtx" is 24 bytes: one full stripe and a tail.
    EXPECT_EQ(shared_memory_object_name(gsystem, "evt_event_mtx").length(), 8u);
}

TEST(SharedMemoryNames, EveryByteTakesTwoDigits) {
    // Among many system names some digest has a byte below 0x10; none may shorten the name.
    int with_leading_zero_byte = 0;
    for (int i = 0; i < 2000; ++i) {
        const string_t name = shared_memory_object_name(string_t("s" + std::to_string(i)), "shm");
        ASSERT_EQ(name.length(), 8u);
        for (char c : name.view()) {
            ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << name.c_str();
        }
        with_leading_zero_byte += name.view().front() == '0';
    }
    EXPECT_GT(with_leading_zero_byte, 0);
}

TEST(SharedMemoryCleanup, UnlinksTheSixObjectsSilently) {
    const std::string trace = "/tmp/shared_memory_test.trace";
    std::filesystem::remove(trace);
    tests::use_trace_file(trace);
    auto tool = helper_tool_t::init_without_listener();
    ASSERT_TRUE(tool);

    std::vector<std::string> all(std::begin(g_names), std::end(g_names));
    all.insert(all.end(), std::begin(l_names), std::end(l_names));
    for (const auto& name : all) {
        const int fd = ::shm_open(name.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << name;
        ::close(fd);
    }
    const int other = ::shm_open("unrelated", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ::close(other);

    tool->cleanSharedMemory(string_t("gsystem"));
    for (const char* name : g_names) {
        EXPECT_FALSE(std::filesystem::exists(std::string("/dev/shm/") + name)) << name;
    }
    for (const char* name : l_names) {
        EXPECT_TRUE(std::filesystem::exists(std::string("/dev/shm/") + name)) << name;
    }
    tool->cleanSharedMemory(string_t("lsystem"));
    for (const auto& name : all) {
        EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + name)) << name;
    }
    EXPECT_TRUE(std::filesystem::exists("/dev/shm/unrelated"));

    // Nothing left to remove: still silent.
    tool->cleanSharedMemory(string_t("gsystem"));
    tool->cleanSharedMemory(string_t("lsystem"));
    EXPECT_TRUE(tests::trace_lines(trace).empty());
}

}  // namespace
