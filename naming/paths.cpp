#include "naming/paths.h"

#include <algorithm>

#include "platform/posix/path_text.h"

namespace naming {

namespace {

std::string fill(std::string_view format_head, std::string_view value, std::string_view tail) {
    std::string text(format_head);
    text += value;
    text += tail;
    return text;
}

}  // namespace

std::string append_path_component(std::string_view path, std::string_view component) {
    while (!component.empty() && component.front() == '/') {
        component.remove_prefix(1);
    }
    std::string joined(::without_trailing_slashes(path));
    if (component.empty()) {
        return joined;
    }
    if (joined.empty() || joined.back() != '/') {
        joined += '/';
    }
    joined += component;
    return joined;
}

bool is_plain_absolute_path(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) {
        return false;
    }
    path = ::without_trailing_slashes(path);
    std::size_t start = 1;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        const auto part = path.substr(start, end - start);
        if (path.size() > 1 && (part.empty() || part == "." || part == "..")) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool is_application_bundle_path(std::string_view path) {
    return last_path_component(path).ends_with(".app") && is_plain_absolute_path(path);
}

std::string service_label(std::string_view ns) {
    return fill("com.quillmark.", ns, ".service");
}
std::string frontend_label(std::string_view ns) {
    return fill("com.quillmark.", ns, ".Frontend");
}
std::string service_job_file(std::string_view label) {
    return fill("/Library/LaunchDaemons/", label, ".plist");
}
std::string agent_job_file(std::string_view label) {
    return fill("/Library/LaunchAgents/", label, ".plist");
}
std::string global_trace_file(std::string_view ns) {
    return fill("/var/log/", ns, ".trace");
}
std::string global_config_directory(std::string_view ns) {
    return append_path_component("/etc", ns);
}

std::string hyphenated(std::string_view ns) {
    std::string text(ns);
    std::replace(text.begin(), text.end(), '_', '-');
    return text;
}
std::string helper_tool_path(std::string_view ns) {
    return fill("/Library/PrivilegedHelperTools/com.quillmark.", hyphenated(ns), ".Helper");
}
std::string helper_job_file(std::string_view ns) {
    return fill("/Library/LaunchDaemons/com.quillmark.", hyphenated(ns), ".Helper.plist");
}

}  // namespace naming
