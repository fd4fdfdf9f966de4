#include "backend/bridge/control_bridge.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <spdlog/spdlog.h>

#include <cerrno>

#include "backend/messages/messages.hpp"
#include "platform/thread_name.hpp"
#include "util/error_text.hpp"
#include "util/io/join_with_deadline.hpp"

namespace vx::network {
namespace {

using Flag = std::shared_ptr<std::atomic<bool>>;
using Done = DoneFlagPtr;
using SocketPtr = std::shared_ptr<asio::ip::tcp::socket>;

// Raises the done flag as the worker's very last action, however it leaves.
struct DoneGuard {
    Done done;
    ~DoneGuard() { done->store(true); }
};

// Reads until the control server's end of the stream (or until stop cuts the socket): every
// byte it wrote goes to the launcher, also the last line it wrote before it closed. The stop
// flag only says that the end is expected.
void run_reader(SocketPtr socket, Flag stop, Done done,
                std::shared_ptr<ControlBridge::Shared> shared, ControlBridge::Hooks hooks,
                std::string session_id, util::NowFn now) {
    platform::name_this_thread("vx-bridge-read");
    DoneGuard guard{done};
    std::vector<std::uint8_t> buffer(ControlBridge::kReadChunkBytes);
    for (;;) {
        std::error_code ec;
        const std::size_t n = socket->read_some(asio::buffer(buffer), ec);
        if (ec || n == 0) {
            if (!stop->load()) {
                shared->relay_peer_lost_us.store(now());
                spdlog::warn(
                    "ControlBridge: relay peer closed unexpectedly ({}) - client considered lost",
                    ec == asio::error::eof || !ec ? std::string("EOF") : util::describe_error(ec));
            }
            break;
        }
        shared->chunks_read.fetch_add(1);
        hooks.enqueue(build_control_data(
            session_id, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n)));
    }
    spdlog::info("ControlBridge: relay reader finished");
}

void run_writer(SocketPtr socket, Done done, std::shared_ptr<ControlBridge::Shared> shared,
                std::shared_ptr<BridgeWriteQueue> queue) {
    platform::name_this_thread("vx-bridge-write");
    DoneGuard guard{done};
    constexpr std::size_t kPiece = 65536;
    while (auto chunk = queue->wait_pop()) {
        std::error_code ec;
        for (std::size_t off = 0; off < chunk->size() && !ec;) {
            const std::size_t len = std::min(kPiece, chunk->size() - off);
            off += asio::write(*socket, asio::buffer(chunk->data() + off, len), ec);
        }
        if (ec) {
            spdlog::warn("ControlBridge: write failed ({}), writer stopping",
                         util::describe_error(ec));
            break;
        }
        shared->chunks_written.fetch_add(1);
    }
    // The dispatcher's next control_data finds the queue closed and opens the bridge again.
    queue->close();
    spdlog::info("ControlBridge: writer finished");
}

// Loopback accepts or refuses at once; only a control server whose listen queue is full leaves
// the SYN unanswered, and a blocking connect would then wait out the kernel's SYN retries
// (minutes) on the connection thread.
std::error_code connect_within(asio::ip::tcp::socket& socket, std::uint16_t port,
                               std::chrono::milliseconds limit) {
    const asio::ip::tcp::endpoint endpoint{asio::ip::address_v4::loopback(), port};
    std::error_code ec;
    socket.open(endpoint.protocol(), ec);
    if (!ec)
        socket.non_blocking(true, ec);
    if (ec)
        return ec;
    const int fd = socket.native_handle();
    if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        if (errno != EINPROGRESS)
            return {errno, std::system_category()};
        const auto until = std::chrono::steady_clock::now() + limit;
        pollfd p{fd, POLLOUT, 0};
        int ready = 0;
        do {
            ready = ::poll(&p, 1, static_cast<int>(util::time_left(until).count()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0)
            return asio::error::timed_out;
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
            error = errno;
        if (error != 0)
            return {error, std::system_category()};
    }
    socket.non_blocking(false, ec);
    return ec;
}

void join_worker(std::thread& thread, const Done& done, const char* name) {
    switch (join_with_deadline(thread, done, ControlBridge::kJoinDeadline)) {
        case JoinResult::detached_self:
            spdlog::debug("ControlBridge: {} called from its own thread - detached", name);
            break;
        case JoinResult::timed_out:
            spdlog::error(
                "ControlBridge: {} worker did not exit within {} ms - detached (its socket was "
                "closed; it exits when the pending call returns)",
                name, ControlBridge::kJoinDeadline.count());
            break;
        case JoinResult::not_joinable:
        case JoinResult::joined:
            break;
    }
}

}  // namespace

ControlBridge::ControlBridge(asio::io_context& io, std::shared_ptr<BridgeWriteQueue> queue,
                             Hooks hooks, util::NowFn now)
    : io_(io), queue_(std::move(queue)), hooks_(std::move(hooks)), now_(std::move(now)) {}

ControlBridge::~ControlBridge() {
    stop();
}

void ControlBridge::open(std::uint16_t port) {
    stop();
    auto socket = std::make_shared<asio::ip::tcp::socket>(io_);
    if (const std::error_code ec = connect_within(*socket, port, kConnectLimit)) {
        // Each relayed chunk tries again while the port refuses: a line a window, and the drops
        // keep counting toward their own 1st, 500th ... lines.
        if (unreachable_log_.due(now_())) {
            spdlog::warn("ControlBridge: local control port {} unreachable: {}{}", port,
                         util::describe_error(ec),
                         util::suppressed_note(unreachable_log_.take_suppressed(),
                                               "more attempt(s) failed before"));
        }
        return;
    }
    queue_->reset_drops();
    bool installed = false;
    try {
        installed = install(std::move(socket), port);
    } catch (const std::exception& e) {
        spdlog::warn("ControlBridge: {}", e.what());
    }
    if (!installed) {
        // Whatever got installed before the failure goes again: no half-open bridge.
        stop();
    }
}

bool ControlBridge::install(std::shared_ptr<asio::ip::tcp::socket> socket, std::uint16_t port) {
    const std::string session_id = hooks_.session_id ? hooks_.session_id() : std::string();
    std::lock_guard lock(mutex_);
    if (reader_.joinable() || writer_.joinable()) {
        spdlog::warn(
            "ControlBridge: a reader/writer is already installed \xE2\x80\x94 not opening a "
            "second");
        std::error_code ignored;
        socket->close(ignored);
        return true;  // the bridge that is installed stays as it is
    }
    socket_ = socket;
    std::error_code ec;
    shared_->local_port.store(socket->local_endpoint(ec).port());
    stop_flag_ = std::make_shared<std::atomic<bool>>(false);
    reader_done_ = std::make_shared<DoneFlag>();
    writer_done_ = std::make_shared<DoneFlag>();
    shared_->relay_peer_lost_us.store(0);
    queue_->open();
    reader_ = start_worker([socket, stop = stop_flag_, done = reader_done_, shared = shared_,
                            hooks = hooks_, session_id, now = now_] {
        run_reader(socket, stop, done, shared, hooks, session_id, now);
    });
    writer_ = start_worker([socket, done = writer_done_, shared = shared_, queue = queue_] {
        run_writer(socket, done, shared, queue);
    });
    spdlog::info("ControlBridge: relaying to 127.0.0.1:{} (reader + writer)", port);
    return true;
}

std::thread ControlBridge::start_worker(std::function<void()> body) const {
    if (hooks_.start_thread) {
        return hooks_.start_thread(std::move(body));
    }
    return std::thread(std::move(body));
}

void ControlBridge::stop() {
    SocketPtr socket;
    std::thread reader;
    std::thread writer;
    Flag stop_flag;
    Done reader_done;
    Done writer_done;
    {
        std::lock_guard lock(mutex_);
        socket = std::move(socket_);
        reader = std::move(reader_);
        writer = std::move(writer_);
        stop_flag = std::move(stop_flag_);
        reader_done = std::move(reader_done_);
        writer_done = std::move(writer_done_);
    }
    if (stop_flag) {
        stop_flag->store(true);
    }
    // Both directions are drained before the socket is cut, within one short bound: the
    // launcher's bytes already taken reach the control server, and the control server's answer
    // to them (a refusal line written just before it closed, say) reaches the launcher.
    const std::int64_t drain_until =
        now_() + std::chrono::duration_cast<std::chrono::microseconds>(kDrainLimit).count();
    const auto drain_left = [&] {
        return std::chrono::ceil<std::chrono::milliseconds>(
            std::chrono::microseconds(std::max<std::int64_t>(drain_until - now_(), 0)));
    };
    queue_->finish();
    if (writer.joinable() && writer_done) {
        writer_done->wait_for(drain_left());
    }
    queue_->close();
    std::error_code ignored;
    if (socket) {
        // The control server reads the end of the stream, as when a launcher leaves.
        socket->shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    }
    if (reader.joinable() && reader_done) {
        reader_done->wait_for(drain_left());
    }
    if (socket) {
        // Wakes a receive or write still blocked. The descriptor is closed when the last worker
        // lets go of the socket, so a detached worker never reads from a reused descriptor.
        socket->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    }
    if (writer.joinable())
        join_worker(writer, writer_done, "writer");
    if (reader.joinable())
        join_worker(reader, reader_done, "reader");
    if (socket && writer_done && reader_done && writer_done->load() && reader_done->load()) {
        socket->close(ignored);
    }
    shared_->relay_peer_lost_us.store(0);
}

bool ControlBridge::is_socket_open() const {
    std::lock_guard lock(mutex_);
    return socket_ && socket_->is_open();
}

void ControlBridge::count_drop(const std::string& reason) {
    const std::uint32_t drops = queue_->drops();
    if (util::nth_log_due(drops)) {
        spdlog::warn("ControlBridge: control frame dropped - {} ({} frame(s) dropped this session)",
                     reason, drops);
    }
}

}  // namespace vx::network
