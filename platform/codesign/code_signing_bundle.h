#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign/certificates.h"
#include "platform/codesign/code_requirement.h"
#include "platform/codesign/code_signing_directory.h"
#include "platform/codesign/code_signing_status.h"
#include "platform/plist/property_list.h"

// Checking a bundle's signature against what is on disk, shared by the checks of running and of
// static code.
namespace code_signing {

// What a valid signature establishes about a bundle.
struct validated_code_t {
    code_directory_t directory;
    certificate_chain_t chain;  // leaf first, anchor last
    plist_node_t info;          // the information dictionary that was hashed
};

struct validation_t {
    OSStatus status = errSecCSUnsigned;
    validated_code_t code;  // filled only on success
};

// The bundle an executable belongs to: ".../NAME.app" for ".../NAME.app/Contents/MacOS/EXE".
// Nothing for an executable outside that layout, which counts as unsigned.
[[nodiscard]] std::optional<std::string> bundle_of_executable(std::string_view path);

// Checks the signature of the bundle at bundle_path whose main executable is the file open at
// executable_fd, named executable_name, and, when given, the requirement. The information list
// and signature files are each read once and the executable is hashed through its descriptor, so
// what is judged is what was read.
//
// Cheap checks come first and the first failure ends the check: the bounded signature files, the
// signature, the information list, the requirement, the executable's size against the size the
// signature records. Only code that passes all of them costs the hash of its executable, so no
// bundle can make a check read more than its signer's own executable.
[[nodiscard]] validation_t validate_bundle(const std::string& bundle_path,
                                           std::string_view executable_name, int executable_fd,
                                           const sec_requirement_t* requirement = nullptr);

}  // namespace code_signing
