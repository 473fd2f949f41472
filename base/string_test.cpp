#include "base/string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "base/buffer.h"
#include "base/exception.h"

// Huge requests must come back as a refusal rather than end an instrumented run.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

// The formats below use "%S", which the compiler would check as a wide-text conversion.
string_t format_runtime(const char* format, ...) {
    va_list args;
    va_start(args, format);
    string_t result = string_vformat(format, args);
    va_end(args);
    return result;
}

TEST(String, CopiesAreDeepAndMovesLeaveTheSourceEmpty) {
    string_t original("gsystem");
    string_t copy(original);
    EXPECT_NE(copy.c_str(), original.c_str());
    EXPECT_EQ(copy.view(), "gsystem");
    EXPECT_EQ(copy.length(), 7u);
    EXPECT_EQ(copy.c_str()[7], '\0');

    string_t moved(std::move(original));
    EXPECT_EQ(moved.view(), "gsystem");
    EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_STREQ(original.c_str(), "");

    string_t assigned("x");
    assigned = moved;
    EXPECT_EQ(assigned.view(), "gsystem");
    const string_t& same = assigned;
    assigned = same;  // self-assignment keeps the text
    EXPECT_EQ(assigned.view(), "gsystem");
    assigned = string_t();
    EXPECT_TRUE(assigned.empty());
    EXPECT_STREQ(assigned.c_str(), "");
}

TEST(String, KeepsEmbeddedBytesWithinItsLength) {
    const std::string text("a\0b", 3);
    string_t held(text);
    EXPECT_EQ(held.length(), 3u);
    EXPECT_EQ(held.view(), text);
    EXPECT_EQ(string_t::try_copy(text), held);
}

TEST(StringFormat, FormatsLikePrintf) {
    EXPECT_EQ(string_format("%s_%s", "cv", "gsystem_shm").view(), "cv_gsystem_shm");
    EXPECT_EQ(string_format("%d|%5.2f|%x", -3, 1.5, 255u).view(), "-3| 1.50|ff");
    EXPECT_TRUE(string_format("%s", "").empty());
}

TEST(StringFormat, TreatsACapitalSAsAUtf8TextButNotAfterADoubledPercent) {
    EXPECT_EQ(format_runtime("<%S>", "gr\xc3\xbc\xc3\x9f").view(), "<gr\xc3\xbc\xc3\x9f>");
    EXPECT_EQ(format_runtime("%%S %S", "x").view(), "%S x");
    EXPECT_EQ(format_runtime("%%%S", "x").view(), "%x");
}

TEST(StringFormat, RewriteLeavesFlaggedAndEscapedCapitalsAlone) {
    char format[] = "%S %s %%S %-S %5S %%%S %";
    rewrite_wide_string_conversions(format);
    EXPECT_STREQ(format, "%s %s %%S %-S %5S %%%s %");
}

TEST(StringFormat, TakesTextsUpTo131070CharactersAndCutsAtTheFirstNul) {
    for (std::size_t length :
         {0u, 1u, 1021u, 1022u, 1023u, 1024u, 2046u, 2047u, 65534u, 65535u, 131069u, 131070u}) {
        const std::string text(length, 'q');
        string_t formatted = string_format("%s", text.c_str());
        EXPECT_EQ(formatted.length(), length) << length;
        EXPECT_EQ(formatted.view(), text) << length;
    }
    EXPECT_EQ(string_format("ab%cde", 0).view(), "ab");
}

TEST(StringFormat, GivesTheEmptyTextPast131070Characters) {
    for (std::size_t length : {131071u, 131072u, 500000u}) {
        const std::string text(length, 'q');
        EXPECT_TRUE(string_format("%s", text.c_str()).empty()) << length;
    }
    // The limit counts the formatted text, not the format.
    const std::string half(65536, 'h');
    EXPECT_TRUE(string_format("%s%s", half.c_str(), half.c_str()).empty());
    EXPECT_EQ(string_format("%s%s", half.c_str(), half.c_str() + 2).length(), 131070u);
}

TEST(Exception, CarriesItsMessageAndTheOutOfMemoryText) {
    base::exception_t plain("disk on fire");
    EXPECT_EQ(plain.message().view(), "disk on fire");
    base::out_of_memory_exception_t oom;
    EXPECT_EQ(oom.message().view(), "The program ran out of memory.");
    EXPECT_EQ(oom.message().length(), 30u);
    try {
        throw base::out_of_memory_exception_t();
    } catch (const base::exception_t& caught) {
        EXPECT_EQ(caught.message().view(), "The program ran out of memory.");
    }
}

TEST(Buffer, CopiesShareTheBytesUntilTheLastGoes) {
    base::buffer_t first(4);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first.data()[0], 0);
    EXPECT_EQ(first.data()[3], 0);
    first.data()[2] = 0xab;
    {
        base::buffer_t second = first;
        EXPECT_EQ(first.use_count(), 2u);
        EXPECT_EQ(second.data(), first.data());
        EXPECT_EQ(second.data()[2], 0xab);
        base::buffer_t third(std::move(second));
        EXPECT_EQ(first.use_count(), 2u);
        EXPECT_EQ(second.use_count(), 0u);  // NOLINT(bugprone-use-after-move)
        third = first;
        EXPECT_EQ(first.use_count(), 2u);
    }
    EXPECT_EQ(first.use_count(), 1u);
    first = base::buffer_t(1);
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(first.use_count(), 1u);
    EXPECT_EQ(base::buffer_t().size(), 0u);
    EXPECT_GE(base::process_buffer().use_count(), 1u);
}

TEST(Buffer, CountsReferencesAcrossThreads) {
    base::buffer_t shared(16);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 10000; ++i) {
                base::buffer_t copy = shared;
                base::buffer_t other(copy);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(shared.use_count(), 1u);
}

TEST(Buffer, RaisesOutOfMemoryWhenTheHeapRefuses) {
    const auto allocate = [](std::size_t size) { return base::buffer_t(size).size(); };
    EXPECT_THROW(allocate(std::numeric_limits<std::size_t>::max()),
                 base::out_of_memory_exception_t);
    EXPECT_THROW(allocate(std::numeric_limits<std::size_t>::max() / 2),
                 base::out_of_memory_exception_t);
}

}  // namespace
