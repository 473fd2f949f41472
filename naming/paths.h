#pragma once

#include <string>
#include <string_view>

// Path texts joined and checked as the platform's string methods do, and the names every
// installation derives from its namespace.
namespace naming {

// Joins with exactly one "/" between; an empty component leaves the path unchanged.
std::string append_path_component(std::string_view path, std::string_view component);
// An absolute path without empty, "." or ".." components and without NUL characters (a
// trailing slash is allowed).
bool is_plain_absolute_path(std::string_view path);
// An application bundle's path: plain and absolute (a relative path, or one with "..", "." or
// "//" in it, names something else than its text says), its last component ending in ".app".
bool is_application_bundle_path(std::string_view path);

// Letters, digits and "_" only, at least one, as every name below expects.
bool is_valid_namespace(std::string_view cv_namespace);

std::string service_label(std::string_view cv_namespace);   // com.quillmark.NS.service
std::string frontend_label(std::string_view cv_namespace);  // com.quillmark.NS.Frontend
std::string service_job_file(std::string_view label);       // /Library/LaunchDaemons/LABEL.plist
std::string agent_job_file(std::string_view label);         // /Library/LaunchAgents/LABEL.plist
std::string global_trace_file(std::string_view cv_namespace);
std::string global_config_directory(std::string_view cv_namespace);
// The helper tool's own files use the namespace with "_" turned into "-".
std::string hyphenated(std::string_view cv_namespace);
std::string helper_tool_path(std::string_view cv_namespace);
std::string helper_job_file(std::string_view cv_namespace);

inline constexpr const char* k_applications_directory = "/Applications";
inline constexpr const char* k_executable_in_bundle = "Contents/MacOS/Corvana";
// The application's signing identifier, which the client requirement names, and the bundle
// identifier of its information property list.
inline constexpr const char* k_client_identifier = "com.quillmark.corvana-cv-5e09b1d4";

}  // namespace naming
