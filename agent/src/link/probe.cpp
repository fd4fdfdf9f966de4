#include "link/probe.hpp"

#include <algorithm>
#include <cstring>

namespace vx {

std::optional<Probe> parse_probe(std::span<const std::uint8_t> datagram) {
    if (datagram.size() == 1) {
        return Probe{ProbeKind::legacy, std::nullopt};
    }
    if (datagram.size() != kProbeMagicBytes &&
        datagram.size() != kProbeMagicBytes + kProbeTokenBytes) {
        return std::nullopt;
    }
    Probe probe;
    if (std::memcmp(datagram.data(), "VXP1", kProbeMagicBytes) == 0) {
        probe.kind = ProbeKind::hole_punch;
    } else if (std::memcmp(datagram.data(), "VXP2", kProbeMagicBytes) == 0) {
        probe.kind = ProbeKind::winner;
    } else if (std::memcmp(datagram.data(), "VXK1", kProbeMagicBytes) == 0) {
        probe.kind = ProbeKind::check;
    } else {
        return std::nullopt;
    }
    if (datagram.size() > kProbeMagicBytes) {
        ProbeToken token;
        std::copy_n(datagram.begin() + kProbeMagicBytes, kProbeTokenBytes, token.begin());
        probe.token = token;
    }
    return probe;
}

const char* probe_kind_name(ProbeKind kind) {
    switch (kind) {
        case ProbeKind::hole_punch:
            return "VXP1";
        case ProbeKind::winner:
            return "VXP2";
        case ProbeKind::check:
            return "VXK1";
        case ProbeKind::legacy:
            return "legacy";
    }
    return "?";
}

}  // namespace vx
