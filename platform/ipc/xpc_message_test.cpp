#include "platform/ipc/xpc_message.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

std::span<const std::uint8_t> payload_of(const std::vector<std::uint8_t>& frame) {
    return std::span(frame).subspan(4);
}

wire_request round_trip(const wire_request& request) {
    auto frame = encode_request(request);
    EXPECT_TRUE(frame.ok());
    auto decoded = decode_request(payload_of(*frame));
    EXPECT_TRUE(decoded.ok());
    return std::move(decoded).value();
}

TEST(WireMessage, EveryValueKindSurvivesTheTrip) {
    wire_request request{"x:y:",
                         42,
                         {wire_nil{}, true, false, std::int64_t{-1}, std::int64_t{2147483647},
                          std::string("ü/../$(x)\n"), wire_bytes{0, 1, 255}, std::string()}};
    wire_request back = round_trip(request);
    EXPECT_EQ(back.selector, "x:y:");
    EXPECT_EQ(back.id, 42u);
    EXPECT_EQ(back.args, request.args);
}

TEST(WireMessage, FrameCarriesItsLengthBigEndian) {
    auto frame = encode_reply(wire_reply{7, wire_value{true}});
    ASSERT_TRUE(frame);
    std::size_t length = (std::size_t{(*frame)[0]} << 24) | (std::size_t{(*frame)[1]} << 16) |
                         (std::size_t{(*frame)[2]} << 8) | (*frame)[3];
    EXPECT_EQ(length, frame->size() - 4);
    auto reply = decode_reply(payload_of(*frame));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 7u);
    EXPECT_EQ(reply->value, wire_value{true});
}

// The bytes of a request are what other clients of the socket depend on.
TEST(WireMessage, RequestMatchesGoldenFile) {
    auto frame = encode_request(
        wire_request{"check_global_settings_auth:reply:", 1, {wire_bytes(32, 0xAB)}});
    ASSERT_TRUE(frame);
    std::ifstream golden(CORVANA_SOURCE_DIR "/platform/ipc/testdata/check_settings_request.bin",
                         std::ios::binary);
    std::vector<std::uint8_t> expected((std::istreambuf_iterator<char>(golden)),
                                       std::istreambuf_iterator<char>());
    EXPECT_EQ(*frame, expected);
}

TEST(WireMessage, RefusesWhatCannotBeSent) {
    EXPECT_FALSE(encode_request(wire_request{"a:", 1, {std::string("a\0b", 3)}}));
    EXPECT_FALSE(encode_request(wire_request{"a:", 1, {std::string("\xff\xfe")}}));
    EXPECT_FALSE(encode_request(wire_request{"a:", 1, {wire_bytes(k_max_message_size, 1)}}));
    EXPECT_FALSE(encode_request(wire_request{std::string(300, 'a'), 1, {}}));
}

TEST(WireMessage, GarbageIsAnErrorNotACrash) {
    std::vector<std::vector<std::uint8_t>> inputs = {
        {},
        {'b', 'p', 'l', 'i', 's', 't', '0', '0'},
        {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xFF, 0xFF, 0xFF},
        {'<', '?', 'x', 'm', 'l'},
        std::vector<std::uint8_t>(100, 0x41),
    };
    // A valid request cut at every length.
    auto frame = *encode_request(wire_request{"a:b:", 3, {std::string("text"), true}});
    for (std::size_t cut = 0; cut + 1 < frame.size() - 4; ++cut) {
        inputs.emplace_back(frame.begin() + 4, frame.begin() + 4 + cut);
    }
    for (const auto& input : inputs) {
        auto decoded = decode_request(input);
        EXPECT_FALSE(decoded);
    }
}

TEST(WireMessage, WrongShapesAreRefused) {
    // A reply is not a request, and a request with a non-empty dictionary argument is refused.
    auto reply = *encode_reply(wire_reply{1, wire_value{true}});
    EXPECT_FALSE(decode_request(payload_of(reply)));
    auto request = *encode_request(wire_request{"a:", 1, {}});
    EXPECT_FALSE(decode_reply(payload_of(request)));
}

TEST(WireMessage, TextThatIsNotUtf8IsNeitherSentNorTaken) {
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x80", "\xF4\x90\x80\x80"}) {
        // overlong "/", a surrogate, cut short, past U+10FFFF
        EXPECT_FALSE(encode_request(wire_request{"a:", 1, {wire_value{std::string(bad)}}}));
        EXPECT_FALSE(encode_reply(wire_reply{1, wire_value{std::string(bad)}}));
        EXPECT_FALSE(encode_request(wire_request{std::string("a:") + bad, 1, {}}));
    }
    EXPECT_TRUE(encode_request(wire_request{"a:", 1, {wire_value{std::string("\xE2\x80\x99")}}}));
}

}  // namespace
