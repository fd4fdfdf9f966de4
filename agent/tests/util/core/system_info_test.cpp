#include "util/system_info.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.hpp"

namespace vx::util {
namespace {

namespace fs = std::filesystem;

TEST(SystemInfo, CpuNameIsTheFirstModelName) {
    EXPECT_EQ(cpu_name_from_cpuinfo("processor\t: 0\nvendor_id\t: GenuineIntel\n"
                                    "model name\t: Intel(R) Core(TM) i7-9700K CPU @ 3.60GHz  \n"
                                    "processor\t: 1\nmodel name\t: other\n"),
              "Intel(R) Core(TM) i7-9700K CPU @ 3.60GHz");
    EXPECT_EQ(cpu_name_from_cpuinfo("processor : 0\nmodel\t\t: 85\n"), "");
    EXPECT_EQ(cpu_name_from_cpuinfo(""), "");
}

TEST(SystemInfo, OsTextFromOsRelease) {
    EXPECT_EQ(os_text_from_os_release("NAME=\"Debian GNU/Linux\"\n"
                                      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(os_text_from_os_release("PRETTY_NAME='Arch Linux'\n"), "Arch Linux");
    EXPECT_EQ(os_text_from_os_release("PRETTY_NAME=\"Say \\\"hi\\\"\"\n"), "Say \"hi\"");
    EXPECT_EQ(os_text_from_os_release("PRETTY_NAME_X=no\nNAME=Alpine\nVERSION=3.19\n"),
              "Alpine 3.19");
    EXPECT_EQ(os_text_from_os_release(""), "Linux");
}

TEST(SystemInfo, ReadsInjectedSourcesAndPrefersTheStreamingGpu) {
    const test::TempDir t("vx-sysinfo");
    SystemInfoSources src;
    src.cpuinfo = t.write("cpuinfo", "model name : Test CPU\n").string();
    src.os_release = t.write("os-release", "PRETTY_NAME=\"Test OS 1\"\n").string();
    t.write("drm/card0/device/vendor", "0x8086\n");
    t.write("drm/card0/device/device", "0x3e92\n");
    t.write("drm/card1/device/vendor", "0x1002\n");
    t.write("drm/card1/device/device", "0x73bf\n");
    t.write("drm/card1/device/mem_info_vram_total", "17163091968\n");
    t.write("drm/card1-DP-1/status", "connected\n");
    src.drm = (t.path() / "drm").string();

    const SystemInfo info = read_system_info(src);
    EXPECT_EQ(info.cpu_name, "Test CPU");
    EXPECT_EQ(info.os_text, "Test OS 1");
    EXPECT_EQ(info.gpu_name, "AMD [1002:73bf]");
    EXPECT_EQ(info.gpu_vram_mb, 16368u);
    EXPECT_GT(info.ram_mb, 0u);
}

TEST(SystemInfo, LongSourceFilesAreReadPastTheirFirstBlock) {
    const test::TempDir t("vx-sysinfo");
    std::string cpuinfo;
    while (cpuinfo.size() < 10000) {
        cpuinfo += "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov\n";
    }
    cpuinfo += "model name\t: Late CPU\n";
    SystemInfoSources src;
    src.cpuinfo = t.write("cpuinfo", cpuinfo).string();
    src.os_release = "/nonexistent/os-release";
    src.drm = "/nonexistent/drm";
    EXPECT_EQ(read_system_info(src).cpu_name, "Late CPU");
}

TEST(SystemInfo, MissingSourcesLeaveFieldsUnknown) {
    SystemInfoSources src;
    src.cpuinfo = "/nonexistent/cpuinfo";
    src.os_release = "/nonexistent/os-release";
    src.drm = "/nonexistent/drm";
    const SystemInfo info = read_system_info(src);
    EXPECT_EQ(info.cpu_name, "");
    EXPECT_EQ(info.os_text, "Linux");
    EXPECT_EQ(info.gpu_name, "");
    EXPECT_EQ(info.gpu_vram_mb, 0u);
}

}  // namespace
}  // namespace vx::util
