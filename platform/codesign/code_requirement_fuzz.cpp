#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/codesign/code_requirement.h"
#include "platform/codesign/code_requirement_match.h"
#include "platform/plist/property_list.h"

// Compiles any text; whatever compiles is also evaluated, against code with no signature and an
// empty information dictionary, so the evaluator sees every tree the parser can build.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto requirement = SecRequirementCreateWithString(text);
    if (requirement) {
        plist_node_t info(plist_new_dict());
        plist_dict_set_item(info.get(), "CFBundleShortVersionString", plist_new_string("6.0.0"));
        requirement_context_t context;
        context.identifier = "com.quillmark.corvana-cv-5e09b1d4";
        context.info = info.get();
        (void)requirement->is_satisfied_by(context);
    }
    // The ordering must be antisymmetric for any two halves of the input.
    std::string_view left = text.substr(0, size / 2);
    std::string_view right = text.substr(size / 2);
    int forward = code_requirement::compare_numerically(left, right);
    int backward = code_requirement::compare_numerically(right, left);
    if ((forward < 0) != (backward > 0) || (forward == 0) != (backward == 0)) {
        __builtin_trap();
    }
    return 0;
}
