#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/codesign/code_signing_files.h"

// The code directory: what a signature vouches for. It names the code and pins the bytes of its
// main executable and of its information property list; the detached CMS signature beside it is
// made over its exact bytes, so its encoding needs no canonical form.
//
// Bundle layout (a bare executable outside a bundle counts as unsigned):
//   NAME.app/Contents/Info.plist
//   NAME.app/Contents/MacOS/EXE
//   NAME.app/Contents/_CodeSignature/CodeDirectory   (XML property list, below)
//   NAME.app/Contents/_CodeSignature/CodeSignature   (DER CMS SignedData, detached, with chain)
namespace code_signing {

inline constexpr const char* k_code_directory_file = "Contents/_CodeSignature/CodeDirectory";
inline constexpr const char* k_signature_file = "Contents/_CodeSignature/CodeSignature";
inline constexpr const char* k_signature_directory = "Contents/_CodeSignature";
inline constexpr const char* k_info_plist_file = "Contents/Info.plist";
inline constexpr const char* k_executable_directory = "Contents/MacOS";

inline constexpr std::size_t k_max_code_directory_size = 64 * 1024;
inline constexpr std::size_t k_max_signature_size = 1024 * 1024;
inline constexpr std::size_t k_max_info_plist_size = 1024 * 1024;
inline constexpr std::uint64_t max_executable_size = 1024ull * 1024 * 1024;
inline constexpr std::size_t k_max_identifier_length = 1024;

struct code_directory_t {
    std::string identifier;
    std::string team_identifier;  // the signer's team (leaf subject OU); empty when it has none
    std::string executable;       // file name of the main executable in Contents/MacOS
    std::uint64_t executable_size = 0;
    sha256_t executable_hash{};
    sha256_t info_plist_hash{};

    bool operator==(const code_directory_t&) const = default;
};

// A plain file name: not empty, no "/", not "." or "..", no control characters.
[[nodiscard]] bool is_plain_file_name(std::string_view name);

[[nodiscard]] std::optional<std::vector<std::uint8_t>> encode_code_directory(
    const code_directory_t& directory);
// Nothing unless every field is present, of the right type and within bounds.
[[nodiscard]] std::optional<code_directory_t> decode_code_directory(
    std::span<const std::uint8_t> bytes);

}  // namespace code_signing
