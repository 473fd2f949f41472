#include "system/sysctl_report.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(SysctlReport, ValueBeforeTheArrowOfAChange) {
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: 0 -> 1\n"), 0);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: 3 -> 0"), 3);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake:12->4"), 12);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: -2 -> 1"), -2);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: +5 -> 1"), 5);
    // The marker may follow other output; only its first occurrence counts.
    EXPECT_EQ(darkwake_value_from_report("kern.x: 1 -> 2\ndebug.darkwake: 4 -> 1\n"), 4);
}

TEST(SysctlReport, AnythingButOneArrowAfterTheMarkerFails) {
    EXPECT_EQ(darkwake_value_from_report(""), k_darkwake_failure);
    EXPECT_EQ(darkwake_value_from_report("0 -> 1"), k_darkwake_failure);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: 3\n"), k_darkwake_failure);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake:"), k_darkwake_failure);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: 1 -> 2 -> 3"), k_darkwake_failure);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: 1 ->->"), k_darkwake_failure);
    // A second report after the first adds an arrow to the rest.
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: 1 -> 2\ndebug.darkwake: 2 -> 3"),
              k_darkwake_failure);
    // An arrow before the marker is not part of the rest.
    EXPECT_EQ(darkwake_value_from_report("a -> b debug.darkwake: 6"), k_darkwake_failure);
}

TEST(SysctlReport, PieceWithoutANumberReadsAsZero) {
    EXPECT_EQ(darkwake_value_from_report(" x -> 1"), k_darkwake_failure);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: x -> 1"), 0);
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake:-> 1"), 0);
    // The arrows are found left to right without overlap, as a split would.
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: 7 --> 1"), 7);
}

TEST(SysctlReport, ALiteralMinusOneCannotBeToldFromAFailure) {
    EXPECT_EQ(darkwake_value_from_report("debug.darkwake: -1 -> 0"), k_darkwake_failure);
}

TEST(SysctlReport, LeadingIntValue) {
    EXPECT_EQ(leading_int_value(""), 0);
    EXPECT_EQ(leading_int_value("   "), 0);
    EXPECT_EQ(leading_int_value(" \t\n 42abc"), 42);
    EXPECT_EQ(leading_int_value("007"), 7);
    EXPECT_EQ(leading_int_value("-"), 0);
    EXPECT_EQ(leading_int_value("+-5"), 0);
    EXPECT_EQ(leading_int_value("- 5"), 0);
    EXPECT_EQ(leading_int_value("0x10"), 0);
    EXPECT_EQ(leading_int_value("2147483647"), INT_MAX);
    EXPECT_EQ(leading_int_value("-2147483648"), INT_MIN);
    // Out of range: clamped, never wrapped into a small plausible value.
    EXPECT_EQ(leading_int_value("4294967296"), INT_MAX);
    EXPECT_EQ(leading_int_value("2147483648"), INT_MAX);
    EXPECT_EQ(leading_int_value("-2147483649"), INT_MIN);
    EXPECT_EQ(leading_int_value("99999999999999999999999"), INT_MAX);
    EXPECT_EQ(leading_int_value("-99999999999999999999999"), INT_MIN);
}

}  // namespace
