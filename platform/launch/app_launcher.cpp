#include "platform/launch/app_launcher.h"

#include <unistd.h>

#include <climits>
#include <optional>

#include "platform/launch/transient_unit.h"
#include "platform/plist/property_list.h"
#include "platform/posix/path_text.h"
#include "platform/posix/spawn.h"

namespace {

// The executable's name from the bundle's information property list. A name that could lead out
// of Contents/MacOS is refused.
std::optional<std::string> bundle_executable(const std::string& bundle_path) {
    const auto info = read_property_list(bundle_path + "/Contents/Info.plist");
    if (!info || plist_get_node_type(info->get()) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t value = plist_dict_get_item(info->get(), "CFBundleExecutable");
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
        return std::nullopt;
    }
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (text == nullptr) {
        return std::nullopt;
    }
    std::string name(text, length);
    if (!is_single_path_component(name)) {
        return std::nullopt;
    }
    return name;
}

std::string parent_of(const std::string& path) {
    return split_path(path).directory;
}

}  // namespace

bool launch_application(const std::string& bundle_path) {
    const std::optional<std::string> executable = bundle_executable(bundle_path);
    if (!executable) {
        return false;
    }
    const std::string path = bundle_path + "/Contents/MacOS/" + *executable;
    // Under a service manager a child of the helper would end with the helper's unit.
    const transient_start_t unit = start_transient_service(path);
    if (unit != transient_start_t::no_service_manager) {
        return unit == transient_start_t::started;
    }
    return spawn_detached(path, {}).ok();
}

std::string main_bundle_path() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    const std::string executable(buffer, static_cast<std::size_t>(length));
    const std::string directory = parent_of(executable);
    const std::string contents = parent_of(directory);
    if (directory.ends_with("/MacOS") && contents.ends_with("/Contents")) {
        return parent_of(contents);
    }
    return directory;
}
