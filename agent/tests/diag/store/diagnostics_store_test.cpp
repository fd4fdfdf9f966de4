#include "diag/diagnostics_store.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vx::diag {
namespace {

using Store = DiagnosticsStore;

std::string numbered(std::uint64_t i, std::size_t width) {
    std::string s = std::to_string(i);
    s.resize(width, '.');
    return s;
}

TEST(CutLogLine, LongLineKeepsItsFirst2044BytesAndAMarker) {
    const std::string line(2049, 'x');
    const std::string cut = cut_log_line(line);
    EXPECT_EQ(cut.size(), 2048u);
    EXPECT_EQ(cut.substr(0, 2044), line.substr(0, 2044));
    EXPECT_EQ(cut.substr(2044), " ...");
    EXPECT_EQ(cut_log_line(std::string(2048, 'y')), std::string(2048, 'y'));
    EXPECT_EQ(cut_log_line(""), "");
}

TEST(DiagnosticsStore, StoresTheCutLineAndCountsItsBytes) {
    Store store;
    store.append(std::string(5000, 'z'));
    store.append("short");
    std::lock_guard lock(store.mutex);
    EXPECT_EQ(store.total_lines, 2u);
    ASSERT_EQ(store.ring.size(), 2u);
    EXPECT_EQ(store.ring.front().size(), 2048u);
    EXPECT_EQ(store.ring_bytes, 2048u + 5u);
    EXPECT_EQ(store.head.front(), store.ring.front());
}

TEST(DiagnosticsStore, SeventyThousandLinesKeepTheHeadAndTheLineBound) {
    Store store;
    for (std::uint64_t i = 0; i < 70000; ++i) {
        store.append(numbered(i, 16));
    }
    std::lock_guard lock(store.mutex);
    EXPECT_EQ(store.total_lines, 70000u);
    ASSERT_EQ(store.head.size(), 300u);
    EXPECT_EQ(store.head.front(), numbered(0, 16));
    EXPECT_EQ(store.head.back(), numbered(299, 16));
    ASSERT_EQ(store.ring.size(), 60000u);
    EXPECT_EQ(store.ring.front(), numbered(10000, 16));
    EXPECT_EQ(store.ring.back(), numbered(69999, 16));
    EXPECT_EQ(store.ring_bytes, 60000u * 16);
}

TEST(DiagnosticsStore, SeventyThousandLongLinesObeyTheByteBound) {
    Store store;
    constexpr std::size_t kLine = 200;
    for (std::uint64_t i = 0; i < 70000; ++i) {
        store.append(numbered(i, kLine));
    }
    std::lock_guard lock(store.mutex);
    EXPECT_EQ(store.head.size(), 300u);
    EXPECT_EQ(store.head.back(), numbered(299, kLine));
    const std::size_t expected = Store::kRingMaxBytes / kLine;  // 41943 lines fit
    ASSERT_EQ(store.ring.size(), expected);
    EXPECT_LE(store.ring_bytes, Store::kRingMaxBytes);
    EXPECT_EQ(store.ring_bytes, expected * kLine);
    EXPECT_EQ(store.ring.back(), numbered(69999, kLine));
    EXPECT_EQ(store.ring.front(), numbered(70000 - expected, kLine));
}

TEST(DiagnosticsStore, SnapshotOfAWindowStillInTheRing) {
    Store store;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        store.append(numbered(i, 4));
    }
    EXPECT_EQ(store.line_count(), 1000u);
    const LogSnapshot snap = store.snapshot_range(900, 200);
    EXPECT_EQ(snap.total, 1000u);
    ASSERT_EQ(snap.lines.size(), 300u);  // 700 .. 999
    EXPECT_EQ(snap.lines.front(), numbered(700, 4));
    ASSERT_EQ(snap.head_lines.size(), 300u);
    EXPECT_EQ(snap.omitted, 400u);  // 300 .. 699
    EXPECT_EQ(snap.lost, 0u);

    const LogSnapshot whole = store.snapshot_range(0, 0);
    EXPECT_EQ(whole.lines.size(), 1000u);
    EXPECT_TRUE(whole.head_lines.empty());
    EXPECT_EQ(whole.omitted, 0u);

    const LogSnapshot past_end = store.snapshot_range(5000, 0);
    EXPECT_TRUE(past_end.lines.empty());
    EXPECT_EQ(past_end.head_lines.size(), 300u);
    EXPECT_EQ(past_end.omitted, 700u);
}

TEST(DiagnosticsStore, SnapshotBeforeTheRingCountsTheGap) {
    Store store;
    for (std::uint64_t i = 0; i < 61000; ++i) {
        store.append(numbered(i, 8));
    }
    // Ring holds 1000 .. 60999. From 500 with head lines: the gap counts as omitted.
    const LogSnapshot with_head = store.snapshot_range(500, 0);
    EXPECT_EQ(with_head.head_lines.size(), 300u);
    EXPECT_EQ(with_head.omitted, 700u);
    EXPECT_EQ(with_head.lost, 0u);
    EXPECT_EQ(with_head.lines.size(), 60000u);
    EXPECT_EQ(with_head.lines.front(), numbered(1000, 8));
    // From 0 the window is moved up to the ring; the head lines stand in for its start.
    const LogSnapshot from_zero = store.snapshot_range(0, 0);
    EXPECT_EQ(from_zero.head_lines.size(), 300u);
    EXPECT_EQ(from_zero.omitted, 700u);
    EXPECT_EQ(from_zero.lost, 0u);
}

TEST(DiagnosticsStore, ProcessWideStoreIsOneObject) {
    EXPECT_EQ(&diagnostics_store(), &diagnostics_store());
}

}  // namespace
}  // namespace vx::diag
