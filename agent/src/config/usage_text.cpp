#include "config/command_line.hpp"

namespace vx {

std::string usage_text() {
    return R"(Usage: velmora-agent [options]

Velmora host agent: registers this PC with the backend and serves one player
at a time. Without --saas-host it runs a single session from the options below
and refuses every launcher (only the backend delivers the hash of the token a
launcher's handshake is checked against): a check of the set-up, not a way to
stream.

Ports (all from the port base P, default 47998):
  input        UDP P+2     launcher control  TCP P+3
  video        UDP P+4     audio             UDP P+5
  The backend is told P, P+1 and P+2 as the video, audio and input ports.

Backend:
  --saas-host HOST            backend host (none: standalone)
  --saas-port PORT            backend port (default 443; TLS when 443)
  --control-udp HOST:PORT     encrypted UDP control channel first, WebSocket
                              second
  --server-id ID              this PC's id in the backend
  --agent-token TOKEN         this PC's agent token
  A private backend's CA certificate goes in cacert.pem beside the executable,
  or in a file named by SSL_CERT_FILE (read instead of OpenSSL's default).

Stream:
  --port-base P, --port P     port base (1 to 65530, default 47998)
  --width N, --height N       picture size (default 1920x1080)
  --fps N                     frame rate (default 60)
  --bitrate N                 bit/s (default 30000000)
  --codec NAME                h264 or hevc (default h264)
  --adapter N                 capture adapter index (default -1: automatic)
  --adapter-vendor NAME       prefer adapters of this vendor
  --audio-parity              send audio parity packets
  --no-audio-parity           do not send them (overrides VX_AUDIO_PARITY)
  --client-idle-timeout S     end a session after S seconds without the player
                              (default 10, 0: never)

Network paths:
  --stun HOST[:PORT]          STUN server (port 3478 by default)
  --public-ip ADDR            this PC's public address, when known
  --turn-url URL              TURN relay, turn:HOST:PORT?transport=udp
  --turn-user NAME            TURN user name
  --turn-pass PASSWORD        TURN password
  --force-direct ADDR         announce ADDR as the direct address (tests only)
  --check-direct              report whether the router maps the media ports,
                              then exit (exit code 0: mapped, 1: not mapped)

Desktop during a session:
  --hide-desktop              hide the desktop shell
  --launch-steam              start Steam
  --steam-app-id ID           the game Steam starts
  --steam-path PATH           the Steam executable

Console:
  --verbose                   show the full log instead of the status screen
  -v, --version               print the version and exit
  -h, --help                  print this text and exit

Environment:
  VX_CONSOLE_LOG=1            show the full log instead of the status screen
  VX_LANG=ru|en               the status screen's language
  VX_TUI=plain                draw the status screen without control sequences

Exit codes: 0 stopped cleanly, 1 failed, 2 another agent is already running.
)";
}

std::string command_line_error_text(std::string_view error) {
    return "velmora-agent: " + std::string(error) +
           "\nRun velmora-agent --help to see the options.\n";
}

}  // namespace vx
