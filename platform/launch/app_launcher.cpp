#include "platform/launch/app_launcher.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/launch/transient_unit.h"
#include "platform/plist/property_list.h"
#include "platform/posix/path_text.h"
#include "platform/posix/spawn.h"

namespace {

// The executable's name from the bundle's information property list. A name that could lead out
// of Contents/MacOS is refused.
result<std::string> bundle_executable(const std::string& bundle_path) {
    const auto info = read_property_list(bundle_path + "/Contents/Info.plist");
    if (!info) {
        return info.as_failure();
    }
    plist_t value = plist_get_node_type(info->get()) == PLIST_DICT
                        ? plist_dict_get_item(info->get(), "CFBundleExecutable")
                        : nullptr;
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
        return result<>::failure(bundle_path + " names no executable");
    }
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    std::string name(text != nullptr ? text : "", text != nullptr ? length : 0);
    if (!is_single_path_component(name)) {
        return result<>::failure(bundle_path + " names an executable outside Contents/MacOS");
    }
    return name;
}

std::string parent_of(const std::string& path) {
    return split_path(path).directory;
}

}  // namespace

result<> launch_application(const std::string& bundle_path) {
    const auto executable = bundle_executable(bundle_path);
    if (!executable) {
        return executable.as_failure();
    }
    const std::string path = bundle_path + "/Contents/MacOS/" + *executable;
    // Under a service manager a child of the helper would end with the helper's unit.
    const auto unit = start_transient_service(path);
    if (!unit) {
        return unit.as_failure();
    }
    if (*unit) {
        return result<>::success();
    }
    return spawn_detached(path, {});
}

result<std::string> main_bundle_path() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length < 0) {
        return result<>::system_failure(errno, "the program's own path can't be read");
    }
    if (length == 0) {
        return result<>::failure("the program's own path is empty");
    }
    const std::string executable(buffer, static_cast<std::size_t>(length));
    const std::string directory = parent_of(executable);
    const std::string contents = parent_of(directory);
    if (directory.ends_with("/MacOS") && contents.ends_with("/Contents")) {
        return parent_of(contents);
    }
    return directory;
}
