#pragma once

#include <string>
#include <string_view>

// Path texts taken apart as the kernel reads them, without asking the file system anything.

// The directory that holds a path's last component, and that component. Trailing slashes are
// ignored; a path without a slash lies in "."; "/" is the root with an empty name.
struct path_parts_t {
    std::string directory;
    std::string name;
};
path_parts_t split_path(std::string_view path);

// The path without trailing slashes; "/" stays "/".
std::string_view without_trailing_slashes(std::string_view path);

// The last component, trailing slashes ignored: "/a/b.app/" gives "b.app", "/" gives "/".
std::string last_path_component(std::string_view path);

// Whether a name stays one directory entry when it is put after a directory: not empty, not "."
// or "..", no "/" and no NUL (which would cut the path short where the kernel reads it).
bool is_single_path_component(std::string_view name);
