#pragma once

// The JSON messages the agent and the backend exchange: pure builders (agent to backend) and
// readers (backend to agent). No I/O, no logging; the connector logs what the readers report.
//
// Outgoing objects are plain nlohmann::json, whose objects are std::maps: keys come out in
// ascending byte order, which the backend's message signatures and our byte-exact tests rely on.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/messages/saas_connector_records.hpp"
#include "util/natwave_profile.hpp"

namespace vx::network {

// ---- Serialising ----

// Compact text of a message. Invalid UTF-8 inside strings (an error text, a CPU name read from
// the system) is replaced by U+FFFD instead of throwing.
std::string dump_message(const nlohmann::json& message);

// ---- Builders (agent to backend) ----

nlohmann::json build_register(const RegisterPayload& payload);
nlohmann::json build_heartbeat();
nlohmann::json build_session_ready(const std::string& session_id, const std::string& public_ip,
                                   std::uint16_t video_port, std::uint16_t audio_port,
                                   std::uint16_t input_port);
nlohmann::json build_session_ended(const std::string& session_id, const std::string& reason,
                                   std::uint32_t duration_sec);
nlohmann::json build_error(const std::string& code, const std::string& message,
                           const std::string& session_id);

// The NAT profile object; JSON null when the profile's kind or base port is 0.
nlohmann::json profile_to_json(const natwave::Profile& profile);

// Nothing when the candidate must not be sent (empty session id or address, port 0).
std::optional<nlohmann::json> build_ice_candidate(const std::string& session_id,
                                                  const std::string& ip, const std::string& kind,
                                                  std::uint16_t port,
                                                  const std::optional<natwave::Profile>& profile);

// rtts: relay id -> round-trip milliseconds. Nothing when no node answered.
std::optional<nlohmann::json> build_relay_rtts(const std::map<std::string, std::int32_t>& rtts);

// "control_data" toward the backend; the bytes go out in standard base64 with padding.
nlohmann::json build_control_data(const std::string& session_id,
                                  const std::vector<std::uint8_t>& bytes);

// ---- Logging received text ----

// What may be logged of a received message (or of any text from the network): its first
// `limit` bytes (never ending inside a UTF-8 character), with credentials replaced by
// "[REDACTED]" by the one redaction the log upload uses. Reads nothing of the text beyond the
// excerpt.
std::string log_excerpt(std::string_view text, std::size_t limit);
// A received text value (an id, an address, a type) as it may stand in a log line: the quoting
// rule of util/outside_text.hpp at kFieldExcerpt bytes, so a megabyte id costs a short line.
std::string log_field(std::string_view text);
// log_field, or "<none>" for an empty text (an id or a value the message left out).
std::string log_field_or_none(std::string_view text);

// How much of a refused message is logged: of text that is not a JSON object, and of an object
// whose content was refused.
constexpr std::size_t kShortExcerpt = 80;
constexpr std::size_t kLongExcerpt = 200;
constexpr std::size_t kFieldExcerpt = 80;

// ---- Readers (backend to agent) ----

// A present key of the wrong JSON type, or a number the field cannot hold. The dispatcher drops
// the message that caused it.
class MessageFormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// String keys need a JSON string. Missing key: the default.
std::string read_string(const nlohmann::json& object, const char* key, std::string fallback);

// Integer keys accept any JSON number (a fraction is cut toward zero) or a boolean (true = 1).
// A number outside the signed 64-bit range (1e300, 2^64 - 1) is an error, never a wrap.
std::int64_t read_integer(const nlohmann::json& object, const char* key, std::int64_t fallback);

// As read_integer, and the value must lie in [min, max]; outside it is an error.
std::int64_t read_integer_in(const nlohmann::json& object, const char* key, std::int64_t fallback,
                             std::int64_t min, std::int64_t max);

// A port: an integer key whose number may also lie beyond every integer (1e300, 2^64 - 1);
// such a number gives nothing, so the caller refuses it as an invalid port like 70000. A
// wrong JSON type is still an error.
std::optional<std::int64_t> read_port_number(const nlohmann::json& object, const char* key,
                                             std::int64_t fallback);

// Boolean keys need a JSON boolean.
bool read_bool(const nlohmann::json& object, const char* key, bool fallback);

// The order read from a "prepare_session"; notes are warnings for the log, in order.
struct PrepareSessionRead {
    PrepareSessionParams params;
    std::vector<std::string> notes;
};

// Reads every key of a "prepare_session" object; MessageFormatError for a wrong type or a
// number out of range. An "encryption_key" that is not exactly 32 bytes of base64 leaves the
// key empty (with a note), so the launcher handshake fails closed.
PrepareSessionRead read_prepare_session(const nlohmann::json& message);

// The outcome of reading a "relay_list": the nodes taken (at most kMaxRelayNodes) and what to
// warn about, in order.
struct RelayListRead {
    static constexpr std::size_t kMaxRelayNodes = 32;
    // A longer credential lifetime is cut to this, so the expiry arithmetic cannot overflow.
    static constexpr std::int64_t kMaxCredentialTtlSec = 10LL * 365 * 24 * 3600;

    bool has_array = false;
    std::vector<RelayNode> nodes;
    std::vector<std::string> notes;
};

// now_100ns: the wall clock in 100 ns units since 1970, the base of credential expiry.
RelayListRead read_relay_list(const nlohmann::json& message, std::int64_t now_100ns);

// "id@host:port;" for every node, in order: identifies a list for the probe scheduling.
std::string relay_list_signature(const std::vector<RelayNode>& nodes);

}  // namespace vx::network
