// The journal entries' fields, and the limit on admission refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "platform/journal/journal_event.h"
#include "platform/journal/journal_limit.h"

namespace {

using testing::Contains;
using testing::Not;
using namespace std::chrono_literals;

std::string field(const std::vector<std::string>& fields, const std::string& name) {
    for (const auto& entry : fields) {
        if (entry.rfind(name + "=", 0) == 0) {
            return entry.substr(name.size() + 1);
        }
    }
    return "(absent)";
}

TEST(JournalEvent, EachKindHasItsOwnWellFormedMessageId) {
    std::set<std::string_view> seen;
    for (std::size_t i = 0; i < k_journal_kinds.size(); ++i) {
        const auto& info = k_journal_kinds[i];
        EXPECT_EQ(static_cast<std::size_t>(info.kind), i) << "in the enumeration's order";
        EXPECT_TRUE(seen.insert(info.message_id).second) << info.message_id;
        ASSERT_EQ(info.message_id.size(), 32u);
        EXPECT_EQ(info.message_id.find_first_not_of("0123456789abcdef"), std::string_view::npos);
    }
}

TEST(JournalEvent, AnOperationNamesItsCallerWhatItActedOnAndItsOutcome) {
    journal_event_t event;
    event.kind = journal_kind::install;
    event.caller = journal_caller_t{4242, 1000, "/home/u/Corvana.app/Contents/MacOS/Corvana"};
    event.operation = "install_corvana_with_auth_data:...";
    event.cv_namespace = "corvana";
    event.bundle_path = "/home/u/Corvana.app";
    event.outcome = "true";
    const auto fields = journal_fields(event);

    EXPECT_EQ(fields.front(), "MESSAGE_ID=c910185b45414558bab5c253cd6389f1");
    EXPECT_EQ(field(fields, "PRIORITY"), "6");
    EXPECT_EQ(field(fields, "CORVANA_CLIENT_PID"), "4242");
    EXPECT_EQ(field(fields, "CORVANA_CLIENT_UID"), "1000");
    EXPECT_EQ(field(fields, "CORVANA_CLIENT_EXE"), "/home/u/Corvana.app/Contents/MacOS/Corvana");
    EXPECT_EQ(field(fields, "CORVANA_OPERATION"), "install_corvana_with_auth_data:...");
    EXPECT_EQ(field(fields, "CORVANA_NAMESPACE"), "corvana");
    EXPECT_EQ(field(fields, "CORVANA_BUNDLE_PATH"), "/home/u/Corvana.app");
    EXPECT_EQ(field(fields, "CORVANA_OUTCOME"), "true");
    EXPECT_EQ(field(fields, "MESSAGE"),
              "application install for uid 1000 (pid 4242, "
              "/home/u/Corvana.app/Contents/MacOS/Corvana), namespace corvana, bundle "
              "/home/u/Corvana.app: true");
    // What the operation did not name is left out, not written empty.
    EXPECT_THAT(fields, Not(Contains(testing::StartsWith("CORVANA_RIGHT="))));
    EXPECT_THAT(fields, Not(Contains(testing::StartsWith("CORVANA_REASON="))));
}

TEST(JournalEvent, AuthorizationAndRefusalSayHowTheyWereDecided) {
    journal_event_t decision;
    decision.kind = journal_kind::authorization;
    decision.caller = journal_caller_t{77, 1001, ""};
    decision.operation = "check_global_settings_auth:reply:";
    decision.right = "com.quillmark.Corvana.Helper.global_settings";
    decision.decided_by = "polkit";
    decision.status = -60005;
    decision.outcome = "false";
    auto fields = journal_fields(decision);
    EXPECT_EQ(field(fields, "PRIORITY"), "5");
    EXPECT_EQ(field(fields, "CORVANA_DECIDED_BY"), "polkit");
    EXPECT_EQ(field(fields, "CORVANA_STATUS"), "-60005");
    EXPECT_EQ(field(fields, "CORVANA_CLIENT_EXE"), "(absent)");
    EXPECT_EQ(field(fields, "MESSAGE"),
              "right com.quillmark.Corvana.Helper.global_settings for uid 1001 (pid 77), "
              "check_global_settings_auth:reply:: denied (polkit), OSStatus -60005");

    journal_event_t refusal;
    refusal.caller = journal_caller_t{78, 1002, "/tmp/x"};
    refusal.outcome = "false";
    refusal.reason = "not signed";
    refusal.suppressed = 3;
    fields = journal_fields(refusal);
    EXPECT_EQ(fields.front(), "MESSAGE_ID=ddca88a61dd544e7813e2f181d302afc");
    EXPECT_EQ(field(fields, "CORVANA_SUPPRESSED"), "3");
    EXPECT_EQ(field(fields, "MESSAGE"),
              "connection of uid 1002 (pid 78, /tmp/x) refused: not signed (3 more not recorded "
              "before this one)");
}

// A client names the namespace and the bundle, and the program it runs: the fields keep its
// bytes, the readable MESSAGE can't be made to break a line or drive a terminal.
TEST(JournalEvent, AClientsTextIsKeptInItsFieldAndShownHarmlesslyInTheMessage) {
    journal_event_t event;
    event.kind = journal_kind::start_service;
    event.caller = journal_caller_t{1, 2, "/tmp/a\nMESSAGE_ID=x"};
    event.cv_namespace = "ns\nCORVANA_OUTCOME=true\x1b[2J\xc2\x9b";
    event.bundle_path = std::string(1000, 'b');
    event.outcome = "false";
    const auto fields = journal_fields(event);
    EXPECT_EQ(field(fields, "CORVANA_NAMESPACE"), *event.cv_namespace);
    EXPECT_EQ(field(fields, "CORVANA_BUNDLE_PATH"), *event.bundle_path);
    const std::string message = field(fields, "MESSAGE");
    EXPECT_EQ(message.find('\n'), std::string::npos);
    EXPECT_EQ(message.find('\x1b'), std::string::npos);
    EXPECT_NE(message.find("namespace ns\\x0aCORVANA_OUTCOME=true\\x1b[2J\\xc2\\x9b,"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("(pid 1, /tmp/a\\x0aMESSAGE_ID=x)"), std::string::npos) << message;
    EXPECT_NE(message.find(", bundle " + std::string(k_journal_shown_text, 'b') + "...: false"),
              std::string::npos);
}

TEST(JournalRateLimit, ABurstThenOneASecondAndTheNextSaysHowManyWereHeldBack) {
    journal_rate_limit_t limit;
    const auto start = journal_rate_limit_t::clock::time_point{} + 1000s;
    std::vector<std::optional<std::uint64_t>> answers;
    for (int i = 0; i < 15; ++i) {
        answers.push_back(limit.take(start));
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(answers[i], 0u) << i;
    }
    for (int i = 10; i < 15; ++i) {
        EXPECT_EQ(answers[i], std::nullopt) << i;
    }
    EXPECT_EQ(limit.take(start + 500ms), std::nullopt);
    EXPECT_EQ(limit.take(start + 1s), 6u);
    EXPECT_EQ(limit.take(start + 1s), std::nullopt);
    // A quiet while refills the burst, and no further.
    EXPECT_EQ(limit.take(start + 100s), 1u);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(limit.take(start + 100s), 0u) << i;
    }
    EXPECT_EQ(limit.take(start + 100s), std::nullopt);
    // A clock that goes back gives nothing.
    EXPECT_EQ(limit.take(start), std::nullopt);
}

}  // namespace
