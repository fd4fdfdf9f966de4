#include "platform/crash_line.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

namespace vx::platform {
namespace {

std::string line_of(const CrashFacts& facts, std::size_t capacity = 256) {
    std::string out(capacity, '\0');
    out.resize(compose_crash_line(facts, out.data(), out.size()));
    return out;
}

TEST(CrashLine, SegmentationFaultWithKindAndAddress) {
    CrashFacts f;
    f.signal_number = SIGSEGV;
    f.signal_code = SEGV_MAPERR;
    f.address = 0x10;
    f.local_time_ms = 1796632620123;
    f.thread_id = 4242;
    EXPECT_EQ(line_of(f),
              "[2026-12-07 08:37:00.123] [critical] [4242] Fatal crash: Unhandled OS exception 0xB "
              "(SIGSEGV, address not mapped, at 0x10)\n");
}

TEST(CrashLine, AbortHasNoAddress) {
    CrashFacts f;
    f.signal_number = SIGABRT;
    f.address = 0xdeadbeef;
    f.thread_id = 7;
    EXPECT_EQ(line_of(f),
              "[1970-01-01 00:00:00.000] [critical] [7] Fatal crash: Unhandled OS exception 0x6 "
              "(SIGABRT)\n");
}

TEST(CrashLine, OtherSignalsAndCodes) {
    CrashFacts f;
    f.signal_number = SIGFPE;
    f.signal_code = FPE_INTDIV;
    f.address = 0x401000;
    f.local_time_ms = 951868799999;  // the last millisecond of a leap day
    EXPECT_EQ(line_of(f),
              "[2000-02-29 23:59:59.999] [critical] [0] Fatal crash: Unhandled OS exception 0x8 "
              "(SIGFPE, integer divide by zero, at 0x401000)\n");
    f.signal_number = SIGBUS;
    f.signal_code = 12345;  // unknown code: no kind
    EXPECT_NE(line_of(f).find("0x7 (SIGBUS, at 0x401000)"), std::string::npos);
    f.signal_number = SIGILL;
    f.signal_code = ILL_ILLOPC;
    EXPECT_NE(line_of(f).find("0x4 (SIGILL, illegal opcode, at 0x401000)"), std::string::npos);
}

TEST(CrashLine, AHooksNoteInTheSameFormatOnOneLineAndCut) {
    CrashFacts f;
    f.local_time_ms = 1796632620123;
    f.thread_id = 4242;
    const std::string text = "SessionIsolation: skipping\nShowWindow";
    char out[128];
    std::string line(out,
                     compose_crash_note(f, "warning", text.data(), text.size(), out, sizeof out));
    EXPECT_EQ(line,
              "[2026-12-07 08:37:00.123] [warning] [4242] SessionIsolation: skipping ShowWindow\n");
    line.assign(out, compose_crash_note(f, "info", text.data(), text.size(), out, 50));
    EXPECT_EQ(line, "[2026-12-07 08:37:00.123] [info] [4242] SessionIs\n");
}

TEST(CrashLine, BeforeTheEpochStillFormats) {
    CrashFacts f;
    f.signal_number = SIGABRT;
    f.local_time_ms = -1;
    EXPECT_EQ(line_of(f).substr(0, 26), "[1969-12-31 23:59:59.999] ");
}

TEST(CrashLine, ShortBufferIsCutButEndsTheLine) {
    CrashFacts f;
    f.signal_number = SIGSEGV;
    const std::string cut = line_of(f, 10);
    EXPECT_EQ(cut, "[1970-01-\n");
    char none = 'x';
    EXPECT_EQ(compose_crash_line(f, &none, 0), 0u);
    EXPECT_EQ(none, 'x');
}

}  // namespace
}  // namespace vx::platform
