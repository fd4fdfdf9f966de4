#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace vx {

// Probe datagrams the launcher sends to a media socket.
//   "VXP1" hole-punch probe, "VXP2" winner confirmation, "VXK1" connectivity check (echoed);
//   each optionally followed by the 8-byte session probe token. A single byte is the legacy probe.
enum class ProbeKind : std::uint8_t { hole_punch, winner, check, legacy };

inline constexpr std::size_t kProbeMagicBytes = 4;
inline constexpr std::size_t kProbeTokenBytes = 8;
using ProbeToken = std::array<std::uint8_t, kProbeTokenBytes>;

struct Probe {
    ProbeKind kind = ProbeKind::legacy;
    std::optional<ProbeToken> token;
};

std::optional<Probe> parse_probe(std::span<const std::uint8_t> datagram);

const char* probe_kind_name(ProbeKind kind);

}  // namespace vx
