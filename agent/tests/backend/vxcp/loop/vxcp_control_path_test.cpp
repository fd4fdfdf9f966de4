#include "backend/vxcp/loop/vxcp_control_path.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace vx::test {
namespace {

using namespace vx::network;

TEST(ControlPathLine, AcceptAndRejectCases) {
    struct Case {
        const char* line;
        bool ok;
        std::int64_t a, b;
    };
    const Case cases[] = {
        {"vxcp-path v1 0 1800000", true, 0, 1800000},
        {"vxcp-path v1 1700000000000 3600000\n", true, 1700000000000, 3600000},
        {"vxcp-path v1 1700000000000 3600000\r", true, 1700000000000, 3600000},
        {"vxcp-path v1 4102444800000 604800000", true, 4102444800000, 604800000},
        {"vxcp-path v1   +5  7", true, 5, 7},  // whitespace runs and a sign, as the scan allows
        {"vxcp-path v1 0 1x", false, 0, 0},    // a letter right after B
        {"vxcp-path v1 0 1 ", false, 0, 0},
        {"vxcp-path v1 0 0", false, 0, 0},  // B = 0
        {"vxcp-path v1 0 604800001", false, 0, 0},
        {"vxcp-path v1 -1 5", false, 0, 0},
        {"vxcp-path v1 4102444800001 5", false, 0, 0},
        {"vxcp-path v1 99999999999999999999 5", false, 0, 0},  // out of range: refused, not UB
        {"vxcp-path v1 5 99999999999999999999", false, 0, 0},
        {"vxcp-path v1 5", false, 0, 0},
        {"vxcp-path v2 5 5", false, 0, 0},
        {" vxcp-path v1 5 5", false, 0, 0},
        {"", false, 0, 0},
        {"vxcp-path v1 - 5", false, 0, 0},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_control_path_line(c.line);
        ASSERT_EQ(parsed.has_value(), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(parsed->hold_end_unix_ms, c.a) << c.line;
            EXPECT_EQ(parsed->hold_length_ms, c.b) << c.line;
        }
    }
    EXPECT_EQ(format_control_path_line({1700000000000, 3600000}),
              "vxcp-path v1 1700000000000 3600000\n");
}

struct ControlPathFile : ::testing::Test {
    void SetUp() override {
        char tmpl[] = "/tmp/vx-control-path-XXXXXX";
        dir = ::mkdtemp(tmpl);
        file = dir / "Velmora" / "control-path.txt";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    std::filesystem::path file;
};

TEST_F(ControlPathFile, SaveCreatesTheFolderAndLoadReadsItBack) {
    ControlPathState state;
    EXPECT_EQ(load_control_path(file, state), ControlPathLoad::missing);
    save_control_path(file, {1700000000000, 7200000});
    ASSERT_EQ(load_control_path(file, state), ControlPathLoad::accepted);
    EXPECT_EQ(state.hold_end_unix_ms, 1700000000000);
    EXPECT_EQ(state.hold_length_ms, 7200000);
    save_control_path(file, {0, 1800000});  // truncates
    std::ifstream in(file);
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(all, "vxcp-path v1 0 1800000\n");
}

TEST_F(ControlPathFile, UnreadableContentIsRejectedWithABoundedRead) {
    std::filesystem::create_directories(file.parent_path());
    ControlPathState state;
    std::ofstream(file) << "";
    EXPECT_EQ(load_control_path(file, state), ControlPathLoad::rejected);
    std::ofstream(file) << "vxcp-path v1 5 " << std::string(1 << 20, '7');
    EXPECT_EQ(load_control_path(file, state), ControlPathLoad::rejected);
    std::ofstream(file) << "vxcp-path v1 5 6\ngarbage after the first line";
    EXPECT_EQ(load_control_path(file, state), ControlPathLoad::accepted);
}

}  // namespace
}  // namespace vx::test
