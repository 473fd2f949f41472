#include "base/hidden_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <latch>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hidden_text_codes.h"

namespace {

using hidden_text_codes::k_end_of_text;
using hidden_text_codes::k_texts;
using hidden_text_codes::k_words;

// Codes appended one after another, packed from the most significant bit of the first byte on.
class bit_string_t {
  public:
    bit_string_t& add(std::string_view code) {
        bits_ += code;
        return *this;
    }
    bit_string_t& add_word(std::size_t index) { return add(k_words[index].bits); }
    bit_string_t& end() { return add(k_end_of_text); }

    std::size_t bit_count() const { return bits_.size(); }

    // Whole bytes for the bits plus the byte the reader loads after a code that ends on bit 0,
    // and not one byte more, so that a sanitizer sees any read past them.
    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> out(bits_.size() / 8 + 1, 0);
        for (std::size_t i = 0; i < bits_.size(); ++i) {
            if (bits_[i] == '1') {
                out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
            }
        }
        return out;
    }

  private:
    std::string bits_;
};

bit_reader_t reader_on(const std::vector<std::uint8_t>& bytes) {
    return bit_reader_t{bytes.data() + 1, bytes[0], 7};
}

std::string expand(const bit_string_t& bits) {
    const std::vector<std::uint8_t> bytes = bits.bytes();
    bit_reader_t reader = reader_on(bytes);
    expand_hidden_text(&reader);
    return hidden_text_buffer;
}

std::size_t word_index(std::string_view text) {
    for (std::size_t i = 0; i < std::size(k_words); ++i) {
        if (k_words[i].text == text) {
            return i;
        }
    }
    ADD_FAILURE() << "no word \"" << text << "\"";
    return 0;
}

// A word whose code is at least min_bits long.
std::size_t word_with_code_of_at_least(std::size_t min_bits) {
    for (std::size_t i = 0; i < std::size(k_words); ++i) {
        if (std::strlen(k_words[i].bits) >= min_bits) {
            return i;
        }
    }
    ADD_FAILURE() << "no code of " << min_bits << " bits";
    return 0;
}

void fill_buffer(char c) {
    std::memset(hidden_text_buffer, c, k_hidden_text_buffer_size);
}

using producer_t = void (*)();

producer_t producer_named(std::string_view name) {
    if (name == "start_line_text") {
        return start_line_text;
    }
    if (name == "end_line_text") {
        return end_line_text;
    }
    if (name == "job_file_missing_text") {
        return job_file_missing_text;
    }
    if (name == "job_file_unreadable_text") {
        return job_file_unreadable_text;
    }
    ADD_FAILURE() << "unknown producer " << name;
    return end_line_text;
}

std::string produce(std::string_view name) {
    producer_named(name)();
    return hidden_text_buffer;
}

// The printf conversions of a format, each as its conversion letter ('%%' is none).
std::string conversions_of(std::string_view format) {
    std::string letters;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        ++i;
        while (i < format.size() && std::strchr("-+ #0123456789.*hlLqjzt'", format[i]) != nullptr) {
            ++i;
        }
        if (i < format.size() && format[i] != '%') {
            letters += format[i];
        }
        if (i == format.size()) {
            letters += '?';  // a lone '%' at the end
        }
    }
    return letters;
}

TEST(HiddenText, AnImmediateEndOfTextGivesTheEmptyText) {
    fill_buffer('x');
    EXPECT_EQ(expand(bit_string_t().end()), "");
    EXPECT_EQ(hidden_text_buffer[0], '\0');
}

TEST(HiddenText, EveryWordExpandsToItsPlainText) {
    // Chains of words well inside the buffer, so every leaf of the code is taken once.
    std::size_t i = 0;
    while (i < std::size(k_words)) {
        bit_string_t bits;
        std::string expected;
        for (; i < std::size(k_words) && expected.size() < 900; ++i) {
            bits.add_word(i);
            expected += k_words[i].text;
        }
        ASSERT_EQ(expand(bits.end()), expected) << "chain ending before word " << i;
    }
}

TEST(HiddenText, ACodeIsReadAcrossAByteBoundaryAtEveryBitOffset) {
    const std::size_t long_word = word_with_code_of_at_least(12);
    const std::string expected_long = k_words[long_word].text;
    for (std::size_t offset = 0; offset < 8; ++offset) {
        // Lead with words whose codes shift the long code to start at this bit of a byte.
        bit_string_t bits;
        std::string expected;
        for (std::size_t i = 0; bits.bit_count() % 8 != offset; i = (i + 1) % std::size(k_words)) {
            if ((bits.bit_count() + std::strlen(k_words[i].bits)) % 8 == offset) {
                bits.add_word(i);
                expected += k_words[i].text;
            }
        }
        bits.add_word(long_word).end();
        EXPECT_EQ(expand(bits), expected + expected_long) << "offset " << offset;
    }
}

TEST(HiddenText, AStringEndingOnBitZeroReadsExactlyOneByteMore) {
    // Repeat a word of odd code length until the end-of-text code ends on the last bit of a
    // byte; at most eight repeats get there.
    std::size_t word = 0;
    while (std::strlen(k_words[word].bits) % 2 == 0) {
        ++word;
    }
    bit_string_t bits;
    std::string expected;
    for (int n = 0; n < 8; ++n) {
        if ((bits.bit_count() + std::strlen(k_end_of_text)) % 8 == 0) {
            break;
        }
        bits.add_word(word);
        expected += k_words[word].text;
    }
    bits.end();
    ASSERT_EQ(bits.bit_count() % 8, 0u) << "no repeat count lands on a byte boundary";

    const std::vector<std::uint8_t> bytes = bits.bytes();
    bit_reader_t reader = reader_on(bytes);
    expand_hidden_text(&reader);
    EXPECT_EQ(std::string(hidden_text_buffer), expected);
    // The last code's bit 0 loaded the extra byte at once; nothing beyond it was touched.
    EXPECT_EQ(reader.next, bytes.data() + bytes.size());
    EXPECT_EQ(reader.bit_index, 7);
    EXPECT_EQ(reader.current, bytes.back());
}

TEST(HiddenText, ATextRunningPastTheBufferIsCutAtItsLastByte) {
    const std::size_t dot = word_index(".");
    const std::size_t limit = k_hidden_text_buffer_size - 1;

    bit_string_t exact;
    for (std::size_t n = 0; n < limit; ++n) {
        exact.add_word(dot);
    }
    EXPECT_EQ(expand(exact.end()), std::string(limit, '.'));

    // Longer texts, one ending mid-word, stop at the buffer's last byte and stay terminated.
    const std::size_t long_word = word_index("configuration");
    bit_string_t over;
    for (std::size_t n = 0; n < 200; ++n) {
        over.add_word(long_word);
    }
    std::string expected;
    for (std::size_t n = 0; n < 200; ++n) {
        expected += "configuration";
    }
    ASSERT_NE(limit % 13, 0u) << "the cut should fall inside a word";
    fill_buffer('x');
    EXPECT_EQ(expand(over.end()), expected.substr(0, limit));
    EXPECT_EQ(hidden_text_buffer[limit], '\0');
}

TEST(HiddenText, AShorterTextAfterALongerOneEndsAtItsOwnZero) {
    const std::string longer = produce("start_line_text");
    const std::string shorter = produce("end_line_text");
    ASSERT_GT(longer.size(), shorter.size());
    EXPECT_EQ(std::string(hidden_text_buffer), shorter);
}

TEST(HiddenText, ThreadsExpandingAtOnceEachSeeTheirOwnText) {
    constexpr int k_rounds = 2000;
    fill_buffer('\0');
    std::latch go(2);
    auto worker = [&](std::vector<std::string_view> names, std::string* failure,
                      bool* started_empty) {
        *started_empty =
            std::all_of(hidden_text_buffer, hidden_text_buffer + k_hidden_text_buffer_size,
                        [](char c) { return c == '\0'; });
        go.arrive_and_wait();
        for (int round = 0; round < k_rounds && failure->empty(); ++round) {
            for (const std::string_view name : names) {
                std::string expected;
                for (const auto& text : k_texts) {
                    if (name == text.producer) {
                        expected = text.text;
                    }
                }
                if (produce(name) != expected) {
                    *failure = std::string(name) + " gave \"" + hidden_text_buffer + "\"";
                }
            }
        }
    };
    std::string failure_a;
    std::string failure_b;
    bool empty_a = false;
    bool empty_b = false;
    std::thread a(worker, std::vector<std::string_view>{"start_line_text", "job_file_missing_text"},
                  &failure_a, &empty_a);
    std::thread b(worker,
                  std::vector<std::string_view>{"end_line_text", "job_file_unreadable_text"},
                  &failure_b, &empty_b);
    a.join();
    b.join();
    EXPECT_EQ(failure_a, "");
    EXPECT_EQ(failure_b, "");
    EXPECT_TRUE(empty_a) << "a new thread's buffer starts zero-filled";
    EXPECT_TRUE(empty_b) << "a new thread's buffer starts zero-filled";
    EXPECT_EQ(hidden_text_buffer[0], '\0') << "a worker wrote into the main thread's buffer";
}

TEST(HiddenText, ProducersGiveFormatsOfTheStatedArgumentShape) {
    struct shape_t {
        const char* producer;
        const char* conversions;
    };
    const shape_t shapes[] = {{"start_line_text", "ss"},
                              {"end_line_text", ""},
                              {"job_file_missing_text", "s"},
                              {"job_file_unreadable_text", "s"}};
    for (const shape_t& shape : shapes) {
        const std::string format = produce(shape.producer);
        EXPECT_FALSE(format.empty()) << shape.producer;
        EXPECT_EQ(conversions_of(format), shape.conversions) << shape.producer << ": " << format;
        bool planned = false;
        for (const auto& text : k_texts) {
            if (shape.producer == std::string_view(text.producer)) {
                EXPECT_EQ(format, text.text);
                planned = true;
            }
        }
        EXPECT_TRUE(planned) << shape.producer;
    }

    // The start line names the product and the version where the arguments go.
    start_line_text();
    char line[256];
    std::snprintf(line, sizeof line, hidden_text_buffer, "corvana", "2.6.1");
    const std::string filled = line;
    EXPECT_NE(filled.find("corvana"), std::string::npos) << filled;
    EXPECT_LT(filled.find("corvana"), filled.find("2.6.1")) << filled;
}

TEST(HiddenText, ProducersFitTheirUnits) {
    for (const auto& text : k_texts) {
        const std::size_t bits = std::strlen(text.bits);
        // The byte after the one holding the last bit is loaded when that bit is bit 0.
        EXPECT_LE(bits / 8 + 1, text.unit_bytes) << text.producer;
        EXPECT_TRUE(text.unit_bytes == 8 || text.unit_bytes == 16) << text.producer;
    }
}

TEST(HiddenText, TheDaemonBinaryHoldsNoPlainTextOfTheFormats) {
    std::ifstream in(CORVANA_DAEMON_PATH, std::ios::binary);
    ASSERT_TRUE(in) << CORVANA_DAEMON_PATH;
    const std::string binary{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(binary.empty());

    for (const auto& text : k_texts) {
        const std::string plain = produce(text.producer);
        ASSERT_FALSE(plain.empty());
        EXPECT_EQ(binary.find(plain), std::string::npos) << text.producer << ": " << plain;
    }

    // The search does see the daemon's data: the masked form of a word, ended by its zero byte,
    // is there.
    std::string masked;
    for (const char c : std::string_view("configuration")) {
        masked += static_cast<char>(static_cast<std::uint8_t>(c) ^ hidden_text_codes::k_mask);
    }
    masked += '\0';
    EXPECT_NE(binary.find(masked), std::string::npos);
}

}  // namespace
