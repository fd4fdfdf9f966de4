#include <gtest/gtest.h>

#include "backend/diagnostics/build_id.hpp"
#include "backend/diagnostics/log_report.hpp"
#include "diagnostics_rig.hpp"
#include "support/log_lines.hpp"

namespace vx::network {
namespace {

using nlohmann::json;
using test::DiagnosticsRig;
using test::lines_of;
using test::upload_content;
using test::upload_ids;

std::string stored_line(std::uint64_t n, const std::string& level = "info") {
    return "[2024-05-01 10:00:00.000] [" + level + "] [7] line " + std::to_string(n);
}

TEST(SessionUpload, CoversTheSessionWithContextAndHeadLines) {
    vx::test::LogLines log;
    DiagnosticsRig rig;
    rig.log(1000);
    rig.diagnostics.note_session_start("s1");
    EXPECT_TRUE(rig.diagnostics.session_active());
    rig.log(99);
    rig.store.append("[2024-05-01 10:00:00.000] [warning] [7] agent-token: abc123");
    rig.diagnostics.upload_session_log("s1", "client_lost");
    EXPECT_FALSE(rig.diagnostics.session_active());
    EXPECT_EQ(rig.diagnostics.last_reported_line(), 1100u);

    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 1u);
    const json& part = sent[0];
    EXPECT_EQ(part.at("kind"), "session");
    EXPECT_EQ(part.at("session_id"), "s1");
    EXPECT_EQ(part.at("upload_id"), "0000000000000001");
    EXPECT_EQ(part.at("app_version"), "0.4.448");
    EXPECT_EQ(part.at("level"), "warning");
    EXPECT_EQ(part.at("summary"), "session s1 ended: client_lost");
    EXPECT_EQ(part.at("truncated"), false);
    EXPECT_EQ(part.at("lines"), 3u + 300 + 1 + 300);
    const std::vector<std::string> lines = lines_of(part.at("content"));
    EXPECT_EQ(lines[0],
              "# Velmora Agent 0.4.448 (" + std::string(build_identifier()) + ") - server srv-1");
    EXPECT_EQ(lines[1], "# gpu=NVIDIA RTX 4070 cpu=AMD Ryzen 7 os=Windows 11");
    EXPECT_EQ(lines[2], "# session s1 ended: client_lost");
    EXPECT_EQ(lines[3], stored_line(0));
    EXPECT_EQ(lines[302], stored_line(299));
    EXPECT_EQ(lines[303],
              "[... 500 line(s) between the process start and this report omitted ...]");
    EXPECT_EQ(lines[304], stored_line(800));  // 200 lines of context before the session
    EXPECT_EQ(lines.back(), "[2024-05-01 10:00:00.000] [warning] [7] agent-token: [REDACTED]");
    EXPECT_EQ(log.count("Diagnostics: queued session log upload 0000000000000001 (session=s1, "
                        "level=warning, lines=604, "),
              1);
}

TEST(SessionUpload, OncePerSessionId) {
    vx::test::LogLines log;
    DiagnosticsRig rig;
    rig.log(10);
    rig.diagnostics.upload_session_log("", "x");
    rig.diagnostics.upload_session_log("s1", "");
    rig.diagnostics.upload_session_log("s1", "pipeline_ended");
    EXPECT_EQ(log.count("Diagnostics: session s1 already uploaded - not repeating"), 1);
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at("summary"), "session s1 ended: unknown");
    EXPECT_EQ(lines_of(sent[0].at("content"))[2], "# session s1 ended: ");
}

TEST(SessionUpload, TakesTheLinesTheLoggerStillHadToWrite) {
    DiagnosticsRig rig;
    rig.diagnostics.note_session_start("s1");
    rig.log(5);
    rig.still_logging = {stored_line(5), "[2024-05-01 10:00:00.000] [info] [7] goodbye"};
    rig.diagnostics.upload_session_log("s1", "client_lost");
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(lines_of(sent[0].at("content")).back(),
              "[2024-05-01 10:00:00.000] [info] [7] goodbye");
}

// The session id is the backend's text: in the header line and the summary it follows the
// logger's printable rule, so it forges no line and the line count matches the content, and a
// very long one is cut. The "session_id" member keeps it whole: the backend matches it.
TEST(SessionUpload, TheSessionIdIsDefusedInTheHeaderAndTheSummary) {
    vx::test::LogLines log;
    DiagnosticsRig rig;
    const std::string forged = "s\x1b]0;x\x07\r\n# gpu=forged\xc2\x9b";
    const std::string huge(100'000, 'i');
    for (const std::string& id : {forged, huge}) {
        rig.log(3);
        rig.diagnostics.upload_session_log(id, "client_lost");
    }
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 2u);
    const std::string shown[] = {"s?]0;x?\\r\\n# gpu=forged?", std::string(200, 'i') + "..."};
    for (std::size_t k = 0; k < 2; ++k) {
        const json& part = sent[k];
        EXPECT_EQ(part.at("session_id"), k == 0 ? forged : huge);
        const std::string summary = "session " + shown[k] + " ended: client_lost";
        EXPECT_EQ(part.at("summary"), summary.substr(0, 200));
        const std::vector<std::string> lines = lines_of(part.at("content"));
        EXPECT_EQ(part.at("lines"), lines.size());
        EXPECT_EQ(lines[2], "# " + summary);
    }
    for (const std::string& line : log.lines()) {
        EXPECT_LT(line.size(), 400u) << line.substr(0, 400);
    }
}

TEST(SessionUpload, WithoutAStartMarkCoversTheLast3200Lines) {
    DiagnosticsRig rig;
    rig.log(5000);
    rig.diagnostics.upload_session_log("s2", "capture_init_failed: no display");
    const std::vector<json> sent = rig.drain();
    const std::vector<std::string> lines = lines_of(upload_content(sent, "0000000000000001"));
    ASSERT_EQ(lines.size(), 3u + 300 + 1 + 3200);
    EXPECT_EQ(lines[2], "# session s2 ended: capture_init_failed: no display");
    EXPECT_EQ(lines[303],
              "[... 1500 line(s) between the process start and this report omitted ...]");
    EXPECT_EQ(lines[304], stored_line(1800));
    EXPECT_EQ(lines.back(), stored_line(4999));
}

TEST(SessionUpload, NoLinesNoUploadButTheIdIsUsedUp) {
    vx::test::LogLines log;
    DiagnosticsRig rig;
    rig.diagnostics.upload_session_log("s3", "pipeline_ended");
    EXPECT_EQ(log.count("Diagnostics: no captured log lines for session s3 - nothing uploaded"), 1);
    rig.log(5);
    rig.diagnostics.upload_session_log("s3", "pipeline_ended");
    EXPECT_EQ(rig.diagnostics.paced_parts(), 0u);
}

TEST(SessionUpload, StartMarksKeepTheLatestSixteenSessions) {
    DiagnosticsRig rig;
    for (int k = 0; k < 17; ++k) {
        rig.log(1);
        rig.diagnostics.note_session_start("s" + std::to_string(k));
    }
    rig.log(4000);
    // s1 keeps its mark (line 2); s0's was dropped, so it covers the last 3,200 lines.
    rig.diagnostics.upload_session_log("s1", "x");
    rig.diagnostics.upload_session_log("s0", "x");
    const std::vector<json> sent = rig.drain();
    EXPECT_EQ(lines_of(upload_content(sent, "0000000000000001")).size(), 3u + 4017);
    EXPECT_EQ(lines_of(upload_content(sent, "0000000000000002")).size(), 3u + 300 + 1 + 3200);
}

// Quotes take two bytes each inside the parts' JSON strings: a body within the byte budget
// splits into more than 60 parts, and the upload keeps the first 15 and the last 44.
TEST(SessionUpload, AQuoteHeavyLogIsCappedAtSixtyParts) {
    vx::test::LogLines log;
    DiagnosticsRig rig;
    const std::string quotes(2000, '"');
    for (int k = 0; k < 1500; ++k) {
        rig.store.append(quotes);
    }
    rig.store.append("[2024-05-01 10:00:00.000] [info] [7] the last line");
    rig.diagnostics.upload_session_log("s1", "pipeline_ended");
    const std::vector<json> sent = rig.drain();

    ASSERT_EQ(sent.size(), kMaxParts);
    for (std::size_t k = 0; k < sent.size(); ++k) {
        EXPECT_EQ(sent[k].at("part"), k);
        EXPECT_EQ(sent[k].at("parts"), kMaxParts);
        EXPECT_LE(escaped_size(sent[k].at("content").get<std::string>()), kPartEscapedBytes);
    }
    EXPECT_EQ(lines_of(sent.front().at("content"))[2], "# session s1 ended: pipeline_ended");
    const std::string marker = sent[kFirstParts].at("content");
    ASSERT_EQ(marker.rfind("[... ", 0), 0u) << marker;
    const unsigned long omitted = std::stoul(marker.substr(5));
    EXPECT_GE(omitted, 2u);
    EXPECT_EQ(marker, "[... " + std::to_string(omitted) +
                          " part(s) of the log omitted to fit the upload ...]\n");
    EXPECT_EQ(lines_of(sent.back().at("content")).back(),
              "[2024-05-01 10:00:00.000] [info] [7] the last line");
    EXPECT_EQ(log.count("(session=s1, level=info, "), 1);
    EXPECT_EQ(log.count(" in 60 part(s), middle trimmed)"), 1);
}

struct AgentReports : ::testing::Test {
    vx::test::LogLines log;
    DiagnosticsRig rig;

    // A heartbeat after `ms` more milliseconds.
    void heartbeat_after(std::int64_t ms) {
        rig.clock.advance_ms(ms);
        rig.diagnostics.report_agent_log();
    }

    // Link up for 5 s and the first report made and sent.
    void first_report() {
        rig.link_up_since = rig.clock.now_us();
        heartbeat_after(5000);
        rig.drain();
    }
};

TEST_F(AgentReports, FirstOnceTheLinkHasBeenUpFiveSeconds) {
    rig.log(10);
    rig.diagnostics.report_agent_log();  // link down
    rig.link_up_since = rig.clock.now_us();
    heartbeat_after(4999);
    EXPECT_EQ(rig.diagnostics.paced_parts(), 0u);
    heartbeat_after(1);
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at("kind"), "agent");
    EXPECT_FALSE(sent[0].contains("session_id"));
    EXPECT_EQ(sent[0].at("summary"), "agent 0.4.448 started (NVIDIA RTX 4070)");
    const std::vector<std::string> lines = lines_of(sent[0].at("content"));
    EXPECT_EQ(lines[2], "# agent started");
    EXPECT_EQ(lines.size(), 3u + 10);
    EXPECT_TRUE(log.count("(session=-, level=info, lines=13, ") == 1);
}

TEST_F(AgentReports, InfoLinesBetweenSessionsNeverTriggerOne) {
    rig.log(10);
    first_report();
    for (int k = 0; k < 20; ++k) {
        rig.log(50, k % 2 ? "info" : "debug");
        heartbeat_after(900'000);
    }
    EXPECT_EQ(rig.diagnostics.paced_parts(), 0u);
}

TEST_F(AgentReports, WarningsSinceThePreviousReportAtMostEveryFifteenMinutes) {
    rig.log(400);
    first_report();
    rig.log(20);
    rig.log(1, "warning");
    heartbeat_after(899'999);
    EXPECT_EQ(rig.diagnostics.paced_parts(), 0u);
    heartbeat_after(1);
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at("summary"), "agent 0.4.448 log (warnings between sessions)");
    EXPECT_EQ(sent[0].at("level"), "warning");
    const std::vector<std::string> lines = lines_of(sent[0].at("content"));
    ASSERT_EQ(lines.size(), 3u + 21);  // no head lines, no marker: only the new lines
    EXPECT_EQ(lines[2], "# agent log since the previous report");
    EXPECT_EQ(lines[3], stored_line(400));
    // The same lines are not reported twice.
    heartbeat_after(900'000);
    EXPECT_EQ(rig.diagnostics.paced_parts(), 0u);
}

TEST_F(AgentReports, AWarningAfterLongInfoOnlyStretchesReportsThemAll) {
    rig.log(10);
    first_report();
    for (int k = 0; k < 3; ++k) {
        rig.log(100);
        heartbeat_after(900'000);
    }
    rig.log(1, "error");
    rig.diagnostics.report_agent_log();
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at("level"), "error");
    EXPECT_EQ(sent[0].at("lines"), 3u + 301);
}

// The store counts no lost lines once it has head lines (always, after the first line), so
// the report counts the gap itself: lines that left the ring must show, not vanish.
TEST_F(AgentReports, LinesGoneFromTheRingAreCounted) {
    rig.log(10);
    first_report();
    rig.log(diag::DiagnosticsStore::kRingMaxLines + 5, "warning");  // lines 10 to 14 leave
    heartbeat_after(900'000);
    const std::vector<std::string> lines =
        lines_of(upload_content(rig.drain(), "0000000000000002"));
    ASSERT_GT(lines.size(), 5u);
    EXPECT_EQ(lines[3], "[... 5 earlier line(s) of this range no longer in memory ...]");
    EXPECT_EQ(lines[4], stored_line(15, "warning"));
}

TEST_F(AgentReports, NoneWhileASessionIsActive) {
    rig.log(10);
    first_report();
    rig.diagnostics.note_session_start("s1");
    rig.log(5, "error");
    heartbeat_after(900'000);
    EXPECT_EQ(rig.diagnostics.paced_parts(), 0u);
}

// An order the driver dropped (stale, terminated before it started) once left the session
// marked active for good, and no agent report was ever made again.
TEST_F(AgentReports, ResumeWhenTheDriverWaitsAgainWithoutAnUpload) {
    rig.log(10);
    first_report();
    rig.diagnostics.note_session_start("s1");
    rig.diagnostics.note_session_start("s2");
    rig.diagnostics.note_back_to_waiting("s1");  // an older order: s2 is still to come
    EXPECT_TRUE(rig.diagnostics.session_active());
    rig.diagnostics.note_back_to_waiting("s2");
    EXPECT_FALSE(rig.diagnostics.session_active());
    // Likewise an upload ends only its own session.
    rig.diagnostics.note_session_start("s3");
    rig.diagnostics.note_session_start("s4");
    rig.diagnostics.upload_session_log("s3", "pipeline_ended");
    EXPECT_TRUE(rig.diagnostics.session_active());
    rig.diagnostics.upload_session_log("s4", "pipeline_ended");
    EXPECT_FALSE(rig.diagnostics.session_active());
    rig.drain();
    rig.log(5, "error");
    heartbeat_after(900'000);
    EXPECT_GT(rig.diagnostics.paced_parts(), 0u);
}

TEST(Pacing, WebSocketOnePartPerFiftyMilliseconds) {
    DiagnosticsRig rig;
    rig.log_three_parts();
    rig.diagnostics.upload_session_log("s1", "x");
    ASSERT_EQ(rig.diagnostics.paced_parts(), 3u);
    EXPECT_TRUE(rig.diagnostics.send_next_paced_part());
    rig.clock.advance_ms(49);
    EXPECT_FALSE(rig.diagnostics.send_next_paced_part());
    rig.clock.advance_ms(1);
    EXPECT_TRUE(rig.diagnostics.send_next_paced_part());
    const std::vector<json> sent = rig.take_sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].at("part"), 0u);
    EXPECT_EQ(sent[1].at("part"), 1u);
    EXPECT_EQ(sent[1].at("parts"), 3u);
}

TEST(Pacing, UdpChannelWhileFewerThanSixteenFragmentsAwaitDelivery) {
    DiagnosticsRig rig;
    std::size_t in_flight = 16;
    rig.diagnostics.set_pacing(std::make_shared<UdpChannelPacing>([&] { return in_flight; }));
    rig.log_three_parts();
    rig.diagnostics.upload_session_log("s1", "x");
    ASSERT_EQ(rig.diagnostics.paced_parts(), 3u);
    EXPECT_FALSE(rig.diagnostics.send_next_paced_part());
    in_flight = 15;
    EXPECT_TRUE(rig.diagnostics.send_next_paced_part());
    EXPECT_TRUE(rig.diagnostics.send_next_paced_part());  // no time needs to pass
    EXPECT_EQ(rig.take_sent().size(), 2u);
}

TEST(Pacing, ARefusedPartStaysFirst) {
    DiagnosticsRig rig;
    rig.log(3);
    rig.diagnostics.upload_session_log("s1", "x");
    rig.accept = false;
    EXPECT_FALSE(rig.diagnostics.send_next_paced_part());
    EXPECT_EQ(rig.diagnostics.paced_parts(), 1u);
    rig.accept = true;
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at("part"), 0u);
}

struct Confirmation : ::testing::Test {
    vx::test::LogLines log;
    DiagnosticsRig rig;

    void upload(const std::string& session_id) {
        rig.log(3);
        rig.diagnostics.upload_session_log(session_id, "x");
    }
};

TEST_F(Confirmation, ConfirmedUploadsAreNotSentAgain) {
    upload("a");
    upload("b");
    upload("c");
    EXPECT_EQ(
        upload_ids(rig.drain()),
        (std::vector<std::string>{"0000000000000001", "0000000000000002", "0000000000000003"}));
    rig.diagnostics.on_log_stored("0000000000000002");
    EXPECT_EQ(log.count("Diagnostics: log upload 0000000000000002 stored by the backend"), 1);
    rig.diagnostics.on_log_stored("ffffffffffffffff");
    rig.diagnostics.requeue_unconfirmed();
    EXPECT_EQ(log.count("Diagnostics: re-sending 2 unconfirmed log upload(s) after reconnect"), 1);
    // Oldest first, whole, after every reconnect.
    const std::vector<std::string> expected{"0000000000000001", "0000000000000003"};
    EXPECT_EQ(upload_ids(rig.drain()), expected);
    rig.diagnostics.requeue_unconfirmed();
    EXPECT_EQ(upload_ids(rig.drain()), expected);
    rig.diagnostics.on_log_stored("0000000000000001");
    rig.diagnostics.on_log_stored("0000000000000003");
    EXPECT_EQ(rig.diagnostics.unconfirmed_bytes(), 0u);
    log.clear();
    rig.diagnostics.requeue_unconfirmed();
    EXPECT_EQ(rig.diagnostics.paced_parts(), 0u);
    EXPECT_EQ(log.count("re-sending"), 0);
}

TEST_F(Confirmation, ReconnectReplacesWhatWasHalfSent) {
    rig.log_three_parts();
    rig.diagnostics.upload_session_log("s1", "x");
    EXPECT_TRUE(rig.diagnostics.send_next_paced_part());
    rig.take_sent();
    rig.diagnostics.requeue_unconfirmed();
    const std::vector<json> sent = rig.drain();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].at("part"), 0u);
}

TEST_F(Confirmation, TheSeventhUploadEvictsTheOldest) {
    for (int k = 0; k < 7; ++k) {
        upload("s" + std::to_string(k));
    }
    EXPECT_EQ(log.count("Diagnostics: dropping unconfirmed log upload 0000000000000001 (1 "
                        "part(s)) - cache full"),
              1);
    EXPECT_EQ(rig.diagnostics.unconfirmed_uploads(), 6u);
    // Its parts were already waiting: they still go once.
    EXPECT_EQ(upload_ids(rig.drain()).size(), 7u);
    rig.diagnostics.requeue_unconfirmed();
    EXPECT_EQ(upload_ids(rig.drain()).front(), "0000000000000002");
}

TEST(UploadCache, ByteBoundAndConfirmedIdsInTheOrder) {
    UploadCache cache;
    const std::string mib(1024 * 1024, 'x');
    cache.add("a", {mib, mib, mib});
    cache.add("b", {mib, mib, mib});
    cache.add("c", {mib, mib, mib});
    EXPECT_TRUE(cache.confirm("b"));
    EXPECT_FALSE(cache.confirm("b"));
    // 6 MiB held; 5 MiB more would pass 10 MiB: "a" goes, "b" was already confirmed.
    const auto dropped = cache.make_room(5 * mib.size());
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].upload_id, "a");
    EXPECT_EQ(dropped[0].messages, 3u);
    EXPECT_EQ(cache.bytes(), 3 * mib.size());
    EXPECT_TRUE(cache.make_room(7 * mib.size()).empty());  // exactly 10 MiB fits
    EXPECT_EQ(cache.make_room(7 * mib.size() + 1).size(), 1u);
    EXPECT_EQ(cache.uploads(), 0u);
}

TEST(UploadCache, APartTakenBeforeARequeueIsNotPutBack) {
    UploadCache cache;
    cache.add("a", {"a0", "a1"});
    auto first = cache.take_next();
    ASSERT_TRUE(first);
    cache.put_back(std::move(*first));
    EXPECT_EQ(cache.take_next()->text, "a0");
    auto second = cache.take_next();
    cache.requeue();
    cache.put_back(std::move(*second));
    EXPECT_EQ(cache.paced(), 2u);  // a0, a1 from the requeue; no stray a1
}

}  // namespace
}  // namespace vx::network
