// Wildcard resolution and the directory check the installation shares.
#include <memory>

#include "helper/helper_tool.h"
#include "install/wildcard.h"
#include "naming/paths.h"
#include "platform/posix/file_manager.h"

std::vector<std::string> helper_tool_t::resolveFilesInDirectory(const std::string& directory,
                                                                const std::string& byWildcard) {
    std::vector<std::string> found;
    const auto matcher = wildcard_matcher_t::compile(byWildcard);
    if (!matcher) {
        return found;
    }
    for (const auto& relative : file_manager::subpaths(directory).value_or({})) {
        if (matcher->matches(relative)) {
            found.push_back(naming::append_path_component(directory, relative));
        }
    }
    return found;
}

bool helper_tool_t::_verifyDir(const std::string& directory,
                               const std::vector<std::string>& forExisting) {
    for (const auto& name : forExisting) {
        if (!file_manager::exists(naming::append_path_component(directory, name))) {
            return false;
        }
    }
    return true;
}
