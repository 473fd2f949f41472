#include "platform/plist/property_list.h"

#include <openssl/evp.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/malloced.h"
#include "platform/posix/atomic_file.h"

namespace {

// The keys of a dictionary in the order the platform writes them: by plain UTF-16 code unit
// comparison.
plist_dict_entries_t sorted_dict_entries(plist_t dict) {
    plist_dict_entries_t entries = plist_dict_entries(dict);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return icu::UnicodeString::fromUTF8(a.first).compare(
                   icu::UnicodeString::fromUTF8(b.first)) < 0;
    });
    return entries;
}

class xml_writer_t {
  public:
    bool write_document(plist_t root) {
        out_ +=
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
        if (!write_node(root, 0)) {
            return false;
        }
        out_ += "</plist>\n";
        return true;
    }

    std::string take() { return std::move(out_); }

  private:
    void indent(int level) { out_.append(static_cast<std::size_t>(level), '\t'); }

    void line(int level, const std::string& text) {
        indent(level);
        out_ += text;
        out_ += '\n';
    }

    void escaped(const char* text, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            switch (text[i]) {
                case '<':
                    out_ += "&lt;";
                    break;
                case '>':
                    out_ += "&gt;";
                    break;
                case '&':
                    out_ += "&amp;";
                    break;
                default:
                    out_ += text[i];
            }
        }
    }

    void text_element(int level, const char* tag, const char* text, std::size_t length) {
        indent(level);
        out_ += '<';
        out_ += tag;
        out_ += '>';
        escaped(text, length);
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
    }

    void integer(int level, int64_t value) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
        line(level, std::string("<integer>") + buffer + "</integer>");
    }

    void real(int level, double value) {
        char buffer[40];
        if (std::isnan(value)) {
            std::snprintf(buffer, sizeof buffer, "nan");
        } else if (std::isinf(value)) {
            std::snprintf(buffer, sizeof buffer, value > 0 ? "+infinity" : "-infinity");
        } else {
            std::snprintf(buffer, sizeof buffer, "%.17g", value);
        }
        line(level, std::string("<real>") + buffer + "</real>");
    }

    void date(int level, int32_t seconds_since_2001) {
        constexpr time_t k_seconds_from_1970_to_2001 = 978307200;
        const time_t when = k_seconds_from_1970_to_2001 + seconds_since_2001;
        struct tm parts {};
        gmtime_r(&when, &parts);
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                      parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        line(level, std::string("<date>") + buffer + "</date>");
    }

    // Base64 lines narrow as the indentation grows, counting a tab as eight columns.
    void data(int level, const char* bytes, uint64_t length) {
        line(level, "<data>");
        if (length > 0) {
            std::string encoded(4 * ((length + 2) / 3) + 1, '\0');
            const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                reinterpret_cast<const unsigned char*>(bytes),
                                                static_cast<int>(length));
            encoded.resize(static_cast<std::size_t>(std::max(written, 0)));
            const std::size_t width = static_cast<std::size_t>(76 - 8 * std::min(level, 8));
            for (std::size_t at = 0; at < encoded.size(); at += width) {
                line(level, encoded.substr(at, width));
            }
        }
        line(level, "</data>");
    }

    bool write_node(plist_t node, int level) {
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                uint8_t value = 0;
                plist_get_bool_val(node, &value);
                line(level, value ? "<true/>" : "<false/>");
                return true;
            }
            case PLIST_UINT: {
                uint64_t value = 0;
                plist_get_uint_val(node, &value);
                integer(level, static_cast<int64_t>(value));
                return true;
            }
            case PLIST_REAL: {
                double value = 0;
                plist_get_real_val(node, &value);
                real(level, value);
                return true;
            }
            case PLIST_STRING: {
                uint64_t length = 0;
                const char* text = plist_get_string_ptr(node, &length);
                if (text == nullptr) {
                    text = "";
                    length = 0;
                }
                // A binary property list can hold a NUL inside a string; XML has no way to
                // carry it, and cutting the string short would change the value.
                if (std::memchr(text, '\0', length) != nullptr) {
                    return false;
                }
                text_element(level, "string", text, length);
                return true;
            }
            case PLIST_DATE: {
                int32_t seconds = 0;
                int32_t microseconds = 0;
                plist_get_date_val(node, &seconds, &microseconds);
                date(level, seconds);
                return true;
            }
            case PLIST_DATA: {
                uint64_t length = 0;
                const char* bytes = plist_get_data_ptr(node, &length);
                data(level, bytes, bytes != nullptr ? length : 0);
                return true;
            }
            case PLIST_UID: {
                uint64_t value = 0;
                plist_get_uid_val(node, &value);
                line(level, "<dict>");
                line(level + 1, "<key>CF$UID</key>");
                integer(level + 1, static_cast<int64_t>(value));
                line(level, "</dict>");
                return true;
            }
            case PLIST_ARRAY:
                return write_array(node, level);
            case PLIST_DICT:
                return write_dict(node, level);
            default:
                return false;
        }
    }

    bool write_array(plist_t node, int level) {
        if (level >= k_property_list_max_depth) {
            return false;
        }
        const uint32_t count = plist_array_get_size(node);
        if (count == 0) {
            line(level, "<array/>");
            return true;
        }
        line(level, "<array>");
        for (uint32_t i = 0; i < count; ++i) {
            if (!write_node(plist_array_get_item(node, i), level + 1)) {
                return false;
            }
        }
        line(level, "</array>");
        return true;
    }

    bool write_dict(plist_t node, int level) {
        if (level >= k_property_list_max_depth) {
            return false;
        }
        const plist_dict_entries_t entries = sorted_dict_entries(node);
        if (entries.empty()) {
            line(level, "<dict/>");
            return true;
        }
        line(level, "<dict>");
        for (const auto& [key, value] : entries) {
            text_element(level + 1, "key", key.data(), key.size());
            if (!write_node(value, level + 1)) {
                return false;
            }
        }
        line(level, "</dict>");
        return true;
    }

    std::string out_;
};

}  // namespace

result<plist_node_t> read_property_list(const std::string& path, symlink_policy_t links) {
    const auto file = read_small_file(path, k_property_list_max_bytes, links);
    if (!file) {
        return result<>::system_failure(file.error(), path + " " + file.description());
    }
    auto parsed = parse_property_list(file->data(), file->size());
    if (!parsed) {
        return result<>::failure(path + ": " + parsed.description());
    }
    return parsed;
}

result<std::string> xml_property_list_text(plist_t node) {
    if (node == nullptr) {
        return result<>::system_failure(EINVAL, "no property list");
    }
    xml_writer_t writer;
    if (!writer.write_document(node)) {
        return result<>::system_failure(
            EINVAL, "the property list is nested too deeply or holds a text with NUL for XML");
    }
    return writer.take();
}

result<> write_xml_property_list_atomically(const std::string& path, plist_t node) {
    const auto text = xml_property_list_text(node);
    if (!text) {
        return text.as_failure();
    }
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text->data()),
                                              text->size());
    return write_file_atomically(path, bytes, 0644, replaced_file_t::keep_mode_and_owner);
}
