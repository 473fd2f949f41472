#include "tests/support/trace_capture.h"

#include <unistd.h>

#include <fstream>
#include <regex>

#include "base/trace.h"

namespace tests {

namespace {

trace_file_t* test_trace_file() {
    static trace_file_t* file = [] {
        static trace_file_t storage;
        trace_file_init(&storage);
        return &storage;
    }();
    return file;
}

}  // namespace

void use_trace_file(const std::string& path) {
    trace_file_t* file = test_trace_file();
    pthread_mutex_lock(&file->lock);
    if (file->descriptor > 0) {
        close(file->descriptor);
    }
    file->descriptor = 0;
    file->path = string_t(path);
    pthread_mutex_unlock(&file->lock);
    g_trace_component = "helper";
    g_trace_file = file;
}

std::vector<std::string> trace_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

bool parse_trace_line(const std::string& line, trace_line_t* parsed) {
    // Everything before the " - " that ends the scope column: level, date and time, component,
    // thread name (may hold spaces), process id, thread id, the empty column and the scope. The
    // message may hold " - " itself, so the first separator after a well-formed head wins.
    static const std::regex head(
        R"(^ *(\S+) (\d{4,}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) +(\S*) (.*?) +(\d+) +(\d+) {6} *(.*)$)");
    for (std::size_t separator = line.find(" - "); separator != std::string::npos;
         separator = line.find(" - ", separator + 1)) {
        const std::string before = line.substr(0, separator);
        std::smatch match;
        if (!std::regex_match(before, match, head)) {
            continue;
        }
        parsed->level = match[1];
        parsed->timestamp = match[2];
        parsed->component = match[3];
        std::string thread = match[4];
        thread.erase(0, thread.find_first_not_of(' '));
        parsed->thread = thread;
        parsed->pid = std::stoul(match[5]);
        parsed->thread_id = std::stoull(match[6]);
        parsed->scope = match[7];
        parsed->message = line.substr(separator + 3);
        return true;
    }
    return false;
}

trace_line_t parse_trace_line(const std::string& line) {
    trace_line_t parsed;
    if (!parse_trace_line(line, &parsed)) {
        return {};
    }
    return parsed;
}

std::vector<std::string> trace_messages(const std::string& path, const std::string& level) {
    std::vector<std::string> messages;
    for (const std::string& line : trace_lines(path)) {
        trace_line_t parsed;
        if (parse_trace_line(line, &parsed) && parsed.level == level) {
            messages.push_back(parsed.message);
        }
    }
    return messages;
}

}  // namespace tests
