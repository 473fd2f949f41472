#pragma once

#include <string>

namespace tests {

// The designated requirement the helper's information list carries, spaced as it is written
// there.
inline std::string helper_requirement_text() {
    return std::string("identifier \"com.quillmark.corvana-cv-5e09b1d4\"") + std::string(16, ' ') +
           "and anchor apple generic"
           " and certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */"
           " and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */"
           " and certificate leaf[subject.OU] = Q7XM2RT9PL"
           " and info[CFBundleShortVersionString] >= \"6.0.0\"";
}

}  // namespace tests
