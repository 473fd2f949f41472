#include "tests/support/files.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace tests {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool write_file(const std::filesystem::path& path, const std::string& text,
                std::filesystem::perms mode) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    std::filesystem::permissions(path, mode, error);
    return out.good() && !error;
}

void write_bundle(const std::filesystem::path& bundle, const std::string& executable,
                  const std::string& script) {
    write_file(bundle / "Contents/Info.plist",
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
               "\t<key>CFBundleExecutable</key>\n\t<string>" +
                   executable + "</string>\n</dict>\n</plist>\n");
    write_file(bundle / "Contents/MacOS" / executable, "#!/bin/sh\n" + script,
               std::filesystem::perms(0755));
}

}  // namespace tests
