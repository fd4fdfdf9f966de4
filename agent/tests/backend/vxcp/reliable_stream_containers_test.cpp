#include "backend/vxcp/reliable_stream_containers.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vx::test {
namespace {

using namespace vx::network;

TEST(ReceivedWindow, RemembersTheLast1024NumbersAcrossMovesAndJumps) {
    struct Step {
        std::uint64_t insert;
        std::uint64_t ask;
        bool want;
    };
    const Step steps[] = {
        {5, 5, true},
        {5, 4, false},
        {3, 3, true},
        {3, 4, false},
        // 1023 below the largest is still remembered, 1024 below is out of the window.
        {1028, 5, true},
        {1028, 4, false},
        // The window moved past 5 but kept the numbers still inside it.
        {1029, 5, false},
        {1029, 1028, true},
        {1029, 1030, false},
        // A jump past the window forgets everything before it.
        {5000, 1029, false},
        {4990, 4990, true},
        {4990, 4991, false},
        {5001, 4990, true},
    };
    ReceivedWindow w;
    for (const Step& s : steps) {
        w.insert(s.insert);
        EXPECT_EQ(w.contains(s.ask), s.want) << "after " << s.insert << " asking " << s.ask;
    }
    EXPECT_EQ(w.largest(), 5001u);
}

TEST(ReceivedWindow, MovesUpToTheLastNumberOfTheRange) {
    constexpr std::uint64_t kTop = ~std::uint64_t{0};
    ReceivedWindow w;
    w.insert(kTop - 1500);
    w.insert(kTop - 1);
    w.insert(kTop);  // the slots it moves over end at the top of the range, not past it
    EXPECT_EQ(w.largest(), kTop);
    EXPECT_TRUE(w.contains(kTop));
    EXPECT_TRUE(w.contains(kTop - 1));
    EXPECT_FALSE(w.contains(kTop - 2));
    EXPECT_FALSE(w.contains(kTop - 1500));
    EXPECT_FALSE(w.contains(0));
}

TEST(MessageBytes, ViewsStayPutWhileBlocksFillAndGo) {
    MessageBytes bytes;
    std::vector<std::pair<MessageBytes::Place, std::string>> kept;
    // Messages of 30000 bytes fill a 64 KiB block with two; 100000 bytes take a block alone.
    for (std::size_t size : {30000u, 30000u, 30000u, 100000u, 10u, 0u, 30000u}) {
        std::string m(size, static_cast<char>('a' + kept.size()));
        kept.push_back({bytes.append(as_bytes(m)), m});
    }
    for (const auto& [place, m] : kept) {
        const ByteView v = bytes.view(place, m.size());
        EXPECT_EQ(std::string(v.begin(), v.end()), m);
    }
    EXPECT_EQ(kept[1].first.block, kept[0].first.block);
    EXPECT_NE(kept[2].first.block, kept[1].first.block);
    EXPECT_NE(kept[3].first.block, kept[2].first.block);
    // Releasing up to the fourth message keeps it and everything after it readable.
    bytes.release_before(kept[3].first);
    for (std::size_t i = 3; i < kept.size(); ++i) {
        const ByteView v = bytes.view(kept[i].first, kept[i].second.size());
        EXPECT_EQ(std::string(v.begin(), v.end()), kept[i].second);
    }
    bytes.release_before(std::nullopt);
    const std::string next(5, 'z');
    const auto place = bytes.append(as_bytes(next));
    EXPECT_EQ(place.offset, 0u);
    const ByteView v = bytes.view(place, next.size());
    EXPECT_EQ(std::string(v.begin(), v.end()), next);
}

}  // namespace
}  // namespace vx::test
