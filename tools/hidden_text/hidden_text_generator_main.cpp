#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tools/hidden_text/emit.h"
#include "tools/hidden_text/expander_plan.h"
#include "tools/hidden_text/texts.h"
#include "tools/hidden_text/word_list.h"

namespace {

bool read_file(const char* path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Written beside the target and renamed over it, so a failed run never leaves half a file that
// a later build would take as up to date.
bool write_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.close();
        if (!out) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    return !ec;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "hidden text generator: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace hidden_text_gen;
    if (argc != 4) {
        return fail("usage: corvana_hidden_text_generator WORDS OUTPUT_CPP OUTPUT_CODES_H");
    }
    std::string content;
    if (!read_file(argv[1], content)) {
        return fail(std::string("cannot read ") + argv[1]);
    }
    std::string error;
    auto words = parse_word_list(content, error);
    if (!words) {
        return fail(std::string(argv[1]) + ": " + error);
    }
    if (words->size() != k_dictionary_word_count) {
        return fail(std::string(argv[1]) + ": " + std::to_string(words->size()) +
                    " words listed, " + std::to_string(k_dictionary_word_count) + " needed");
    }
    auto plan = plan_expander(std::move(*words), helper_hidden_texts(), error);
    if (!plan) {
        return fail(error);
    }
    if (!write_file(argv[2], emit_expander_source(*plan)) ||
        !write_file(argv[3], emit_codes_header(*plan))) {
        return fail("cannot write the generated files");
    }
    return 0;
}
