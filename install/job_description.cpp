#include "install/job_description.h"

namespace {

void set(plist_t dict, const char* key, plist_t value) {
    plist_dict_set_item(dict, key, value);
}

}  // namespace

plist_dict_t job_description(const std::string& label, const std::string& executable,
                             const std::string& mode_argument,
                             const std::optional<std::string>& working_directory) {
    plist_dict_t dict(plist_new_dict());
    set(dict.get(), "Label", plist_new_string(label.c_str()));
    set(dict.get(), "Disabled", plist_new_bool(0));
    set(dict.get(), "RunAtLoad", plist_new_bool(1));
    set(dict.get(), "KeepAlive", plist_new_bool(0));
    set(dict.get(), "LaunchOnlyOnce", plist_new_bool(1));
    plist_node_t arguments(plist_new_array());
    plist_array_append_item(arguments.get(), plist_new_string(executable.c_str()));
    plist_array_append_item(arguments.get(), plist_new_string(mode_argument.c_str()));
    set(dict.get(), "ProgramArguments", arguments.release());
    if (working_directory) {
        set(dict.get(), "WorkingDirectory", plist_new_string(working_directory->c_str()));
    }
    return dict;
}
