// Feeds arbitrary sysctl output to the dark-wake report reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "system/sysctl_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view report(reinterpret_cast<const char*>(data), size);
    const int value = darkwake_value_from_report(report);
    if (report.find("debug.darkwake:") == std::string_view::npos && value != k_darkwake_failure) {
        std::abort();
    }
    // Whatever number was read must read back as itself from its own decimal text.
    if (leading_int_value(std::to_string(value)) != value) {
        std::abort();
    }
    return 0;
}
