#include "platform/crash_line.hpp"

#include <signal.h>

#include "platform/signal_name.hpp"

namespace vx::platform {
namespace {

// A bounded writer: everything past the capacity is dropped.
class LineWriter {
  public:
    LineWriter(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void text(const char* s) {
        while (*s != '\0') {
            put(*s++);
        }
    }

    void text(const char* s, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            put(s[i] == '\n' ? ' ' : s[i]);
        }
    }

    void unsigned_number(std::uint64_t value, unsigned base, int min_digits = 1) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = "0123456789ABCDEF"[value % base];
            value /= base;
        } while (value != 0 && n < 24);
        for (int pad = n; pad < min_digits; ++pad) {
            put('0');
        }
        while (n > 0) {
            put(digits[--n]);
        }
    }

    std::size_t size() const { return size_; }

  private:
    void put(char c) {
        if (size_ < capacity_) {
            out_[size_++] = c;
        }
    }

    char* out_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

struct CivilTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second, milli;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
CivilTime civil_from_ms(std::int64_t ms) {
    std::int64_t days = ms >= 0 ? ms / 86'400'000 : (ms - 86'399'999) / 86'400'000;
    const std::int64_t in_day = ms - days * 86'400'000;
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    return CivilTime{year,
                     month,
                     day,
                     static_cast<unsigned>(in_day / 3'600'000),
                     static_cast<unsigned>(in_day / 60'000 % 60),
                     static_cast<unsigned>(in_day / 1000 % 60),
                     static_cast<unsigned>(in_day % 1000)};
}

void write_stamp(LineWriter& w, std::int64_t local_ms) {
    const CivilTime t = civil_from_ms(local_ms);
    w.text("[");
    w.unsigned_number(static_cast<std::uint64_t>(t.year < 0 ? 0 : t.year), 10, 4);
    w.text("-");
    w.unsigned_number(t.month, 10, 2);
    w.text("-");
    w.unsigned_number(t.day, 10, 2);
    w.text(" ");
    w.unsigned_number(t.hour, 10, 2);
    w.text(":");
    w.unsigned_number(t.minute, 10, 2);
    w.text(":");
    w.unsigned_number(t.second, 10, 2);
    w.text(".");
    w.unsigned_number(t.milli, 10, 3);
    w.text("] ");
}

// The kind of access or fault, as far as si_code tells it.
const char* fault_kind(int signal_number, int code) {
    if (signal_number == SIGSEGV) {
        return code == SEGV_MAPERR   ? "address not mapped"
               : code == SEGV_ACCERR ? "access denied"
                                     : nullptr;
    }
    if (signal_number == SIGBUS) {
        return code == BUS_ADRALN   ? "misaligned access"
               : code == BUS_ADRERR ? "no such physical address"
                                    : nullptr;
    }
    if (signal_number == SIGFPE) {
        return code == FPE_INTDIV ? "integer divide by zero" : nullptr;
    }
    if (signal_number == SIGILL) {
        return code == ILL_ILLOPC ? "illegal opcode" : nullptr;
    }
    return nullptr;
}

bool has_fault_address(int signal_number) {
    return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
           signal_number == SIGFPE;
}

void write_prefix(LineWriter& w, const CrashFacts& facts, const char* level) {
    write_stamp(w, facts.local_time_ms);
    w.text("[");
    w.text(level);
    w.text("] [");
    w.unsigned_number(static_cast<std::uint64_t>(facts.thread_id < 0 ? 0 : facts.thread_id), 10);
    w.text("] ");
}

}  // namespace

std::size_t compose_crash_note(const CrashFacts& facts, const char* level, const char* text,
                               std::size_t text_size, char* out, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    LineWriter w(out, capacity - 1);  // keeps room for the line end
    write_prefix(w, facts, level);
    w.text(text, text_size);
    std::size_t n = w.size();
    out[n++] = '\n';
    return n;
}

std::size_t compose_crash_line(const CrashFacts& facts, char* out, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    LineWriter w(out, capacity - 1);  // keeps room for the line end
    write_prefix(w, facts, "critical");
    w.text("Fatal crash: Unhandled OS exception 0x");
    w.unsigned_number(static_cast<std::uint64_t>(facts.signal_number), 16);
    w.text(" (");
    w.text(signal_name(facts.signal_number));
    if (const char* kind = fault_kind(facts.signal_number, facts.signal_code)) {
        w.text(", ");
        w.text(kind);
    }
    if (has_fault_address(facts.signal_number)) {
        w.text(", at 0x");
        w.unsigned_number(facts.address, 16);
    }
    w.text(")");
    std::size_t n = w.size();
    out[n++] = '\n';
    return n;
}

}  // namespace vx::platform
