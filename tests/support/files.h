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

// An application bundle whose executable is the shell script `script`, named in its information
// property list.
void write_bundle(const std::filesystem::path& bundle, const std::string& executable,
                  const std::string& script);

}  // namespace tests
