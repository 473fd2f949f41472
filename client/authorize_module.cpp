#include "client/authorize_module.h"
#include "client/authorize_command.h"

extern "C" __attribute__((visibility("default"))) int corvana_authorize_command_main(int argc,
                                                                                     char** argv) {
    return authorize_command_main(argc, argv);
}

// The loader asks for the entry by name; the type it expects is checked here.
[[maybe_unused]] static constexpr authorize_entry_t* k_entry_has_its_type =
    &corvana_authorize_command_main;
