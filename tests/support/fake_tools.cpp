#include "tests/support/fake_tools.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/files.h"
#include "tests/support/sandbox.h"

namespace tests {
namespace {

const std::filesystem::path k_dir = "/var/tmp/fake-tools";

void write_setting(const std::filesystem::path& path, const std::string& content) {
    require_sandbox();
    (void)write_file(path, content);
}

std::string unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 1 < field.size()) {
            char next = field[++i];
            out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

void fake_tools::set_status(const std::string& tool, int status) {
    write_setting(k_dir / (tool + ".status"), std::to_string(status));
}

void fake_tools::set_output(const std::string& tool, const std::string& output) {
    write_setting(k_dir / (tool + ".stdout"), output);
}

void fake_tools::set_delay(const std::string& tool, double seconds) {
    write_setting(k_dir / (tool + ".delay"), std::to_string(seconds));
}

void fake_tools::reset() {
    require_sandbox();
    for (const auto& entry : std::filesystem::directory_iterator(k_dir)) {
        std::filesystem::remove(entry.path());
    }
    write_setting(k_dir / "calls.log", "");
}

std::vector<fake_tools::call> fake_tools::calls() {
    require_sandbox();
    std::vector<call> result;
    std::ifstream in(k_dir / "calls.log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        call fields;
        std::stringstream stream(line);
        std::string field;
        while (std::getline(stream, field, '\t')) {
            fields.push_back(unescape(field));
        }
        if (line.ends_with('\t')) {
            fields.emplace_back();
        }
        result.push_back(std::move(fields));
    }
    return result;
}

std::vector<fake_tools::call> fake_tools::calls_of(const std::string& path) {
    std::vector<call> result;
    for (auto& c : calls()) {
        if (!c.empty() && c[0] == path) {
            result.push_back(std::move(c));
        }
    }
    return result;
}

}  // namespace tests
