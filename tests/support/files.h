#pragma once

#include <filesystem>
#include <string>

namespace tests {

// The whole file; empty when it can't be read.
std::string read_file(const std::filesystem::path& path);

// Replaces path with text, creating missing parent directories, and gives it mode. False when the
// file could not be written whole.
bool write_file(const std::filesystem::path& path, const std::string& text,
                std::filesystem::perms mode = std::filesystem::perms(0644));

}  // namespace tests
