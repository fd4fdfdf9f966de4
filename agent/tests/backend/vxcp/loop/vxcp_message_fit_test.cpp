#include "backend/vxcp/loop/vxcp_message_fit.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "backend/messages/messages.hpp"
#include "util/base64.hpp"

namespace vx::test {
namespace {

using namespace vx::network;

TEST(VxcpMessageFit, AnOversizeControlChunkIsCutIntoFittingMessagesInOrder) {
    std::vector<std::uint8_t> chunk(8192);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::string text = dump_message(build_control_data("sess-9", chunk));
    ASSERT_GT(text.size(), 8192u);  // base64 makes an 8 KiB chunk about 11 KB
    for (std::size_t limit : {8192u, 4096u, 1000u, 100u}) {
        const auto pieces = vxcp_fit_control_data(text, limit);
        ASSERT_FALSE(pieces.empty()) << limit;
        std::vector<std::uint8_t> joined;
        for (const auto& p : pieces) {
            EXPECT_LE(p.size(), limit);
            const auto m = nlohmann::json::parse(p);
            EXPECT_EQ(m["type"], "control_data");
            EXPECT_EQ(m["session_id"], "sess-9");
            EXPECT_EQ(dump_message(m), p);  // canonical, like everything the agent writes
            const auto bytes = util::base64_decode(m["data"].get<std::string>());
            ASSERT_TRUE(bytes);
            joined.insert(joined.end(), bytes->begin(), bytes->end());
        }
        EXPECT_EQ(joined, chunk) << limit;
    }
}

TEST(VxcpMessageFit, OtherMessagesAndHopelessLimitsAreNotCut) {
    EXPECT_TRUE(vxcp_fit_control_data(R"({"type":"heartbeat"})", 10).empty());
    EXPECT_TRUE(vxcp_fit_control_data("not json", 10).empty());
    const std::string text = dump_message(build_control_data("s", std::vector<std::uint8_t>(100)));
    EXPECT_TRUE(vxcp_fit_control_data(text, 20).empty());
    EXPECT_TRUE(
        vxcp_fit_control_data(R"({"data":"%%%","session_id":"s","type":"control_data"})", 1000)
            .empty());
}

}  // namespace
}  // namespace vx::test
