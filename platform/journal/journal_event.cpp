#include "platform/journal/journal_event.h"

#include <syslog.h>

#include <algorithm>

namespace {

// A client's text as the MESSAGE shows it. The field beside it keeps the bytes as they came; the
// MESSAGE is what journalctl prints on a terminal, where a control character would act (an
// escape sequence rewrites the screen) and a line break would let the rest pass for another
// entry. Control characters (C0, DEL, and C1 as UTF-8 writes it) become \xNN, as in the trace.
std::string shown(std::string_view text) {
    static constexpr char k_hex[] = "0123456789abcdef";
    std::string out;
    const std::size_t length = std::min(text.size(), k_journal_shown_text);
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < length ? static_cast<unsigned char>(text[i + 1]) : 0;
        const bool c1 = byte == 0xc2 && next >= 0x80 && next <= 0x9f;
        if (byte < 0x20 || byte == 0x7f || c1) {
            for (const unsigned char escaped : {byte, next}) {
                out += "\\x";
                out += k_hex[escaped >> 4];
                out += k_hex[escaped & 0xf];
                if (!c1) {
                    break;
                }
            }
            i += c1 ? 1 : 0;
            continue;
        }
        out += static_cast<char>(byte);
    }
    if (text.size() > length) {
        out += "...";
    }
    return out;
}

std::string caller_text(const std::optional<journal_caller_t>& caller) {
    if (!caller) {
        return "no client";
    }
    std::string text =
        "uid " + std::to_string(caller->uid) + " (pid " + std::to_string(caller->pid);
    if (!caller->executable.empty()) {
        text += ", " + shown(caller->executable);
    }
    return text + ")";
}

std::string message_of(const journal_event_t& event) {
    const std::string_view what = journal_kind_of(event.kind).what;
    std::string text;
    if (event.kind == journal_kind::admission_refused) {
        text = "connection of " + caller_text(event.caller) + " refused: " + shown(event.reason);
    } else if (event.kind == journal_kind::authorization) {
        text = "right " + shown(event.right.value_or("(none)")) + " for " +
               caller_text(event.caller) + ", " + shown(event.operation) + ": " +
               (event.outcome == "true" ? "granted" : "denied") + " (" +
               event.decided_by.value_or("refused") + ")";
        if (event.status && *event.status != 0) {
            text += ", OSStatus " + std::to_string(*event.status);
        }
    } else {
        text = std::string(what) + " for " + caller_text(event.caller);
        if (event.cv_namespace) {
            text += ", namespace " + shown(*event.cv_namespace);
        }
        if (event.bundle_path) {
            text += ", bundle " + shown(*event.bundle_path);
        }
        if (event.value) {
            text += ", value " + shown(*event.value);
        }
        if (event.right) {
            text += ", right " + shown(*event.right) + " (" + event.decided_by.value_or("refused") +
                    ")";
        }
        text += ": " + shown(event.outcome);
    }
    if (event.suppressed > 0) {
        text += " (" + std::to_string(event.suppressed) + " more not recorded before this one)";
    }
    if (event.lost > 0) {
        text += " (" + std::to_string(event.lost) + " entries lost before this one)";
    }
    return text;
}

// Refusals and denials are what an administrator looks for first.
int priority_of(const journal_event_t& event) {
    if (event.kind == journal_kind::admission_refused ||
        (event.kind == journal_kind::authorization && event.outcome != "true")) {
        return LOG_NOTICE;
    }
    return LOG_INFO;
}

}  // namespace

std::vector<std::string> journal_fields(const journal_event_t& event) {
    std::vector<std::string> fields;
    fields.push_back("MESSAGE_ID=" + std::string(journal_kind_of(event.kind).message_id));
    fields.push_back("PRIORITY=" + std::to_string(priority_of(event)));
    fields.push_back("MESSAGE=" + message_of(event));
    if (event.caller) {
        fields.push_back("CORVANA_CLIENT_PID=" + std::to_string(event.caller->pid));
        fields.push_back("CORVANA_CLIENT_UID=" + std::to_string(event.caller->uid));
        if (!event.caller->executable.empty()) {
            fields.push_back("CORVANA_CLIENT_EXE=" + event.caller->executable);
        }
    }
    auto add = [&fields](const char* name, const std::optional<std::string>& value) {
        if (value) {
            fields.push_back(std::string(name) + "=" + *value);
        }
    };
    add("CORVANA_OPERATION",
        event.operation.empty() ? std::nullopt : std::optional<std::string>(event.operation));
    add("CORVANA_NAMESPACE", event.cv_namespace);
    add("CORVANA_BUNDLE_PATH", event.bundle_path);
    add("CORVANA_VALUE", event.value);
    add("CORVANA_RIGHT", event.right);
    add("CORVANA_DECIDED_BY", event.decided_by);
    if (event.status) {
        fields.push_back("CORVANA_STATUS=" + std::to_string(*event.status));
    }
    fields.push_back("CORVANA_OUTCOME=" + event.outcome);
    if (!event.reason.empty()) {
        fields.push_back("CORVANA_REASON=" + event.reason);
    }
    if (event.suppressed > 0) {
        fields.push_back("CORVANA_SUPPRESSED=" + std::to_string(event.suppressed));
    }
    if (event.lost > 0) {
        fields.push_back("CORVANA_LOST=" + std::to_string(event.lost));
    }
    return fields;
}
