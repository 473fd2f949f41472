#include "platform/posix/path_text.h"

std::string_view without_trailing_slashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

path_parts_t split_path(std::string_view raw) {
    const std::string_view path = without_trailing_slashes(raw);
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {".", std::string(path)};
    }
    return {std::string(slash == 0 ? path.substr(0, 1) : path.substr(0, slash)),
            std::string(path.substr(slash + 1))};
}

std::string last_path_component(std::string_view path) {
    path = without_trailing_slashes(path);
    return path == "/" ? std::string(path) : split_path(path).name;
}

bool is_single_path_component(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}
