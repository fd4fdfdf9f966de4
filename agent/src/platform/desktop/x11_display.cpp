#include "platform/desktop/x11_display.hpp"

#include <X11/Xatom.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <mutex>

namespace vx::platform::x11 {
namespace {

constexpr const char* kAtomNames[] = {
    "_NET_CLIENT_LIST",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_WM_PID",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "WM_STATE",
    "_NET_ACTIVE_WINDOW",
    "_NET_SUPPORTED",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_SYSTEM_TRAY_OPCODE",
    "_XEMBED_INFO",
    "MANAGER",
};
static_assert(std::size(kAtomNames) == static_cast<std::size_t>(AtomId::count));

// Longest property we read, in 32-bit units (a client list of 4096 windows).
constexpr long kMaxPropertyItems = 4096;

// Each thread traps its own requests' errors: connections are per thread.
thread_local int t_trap_depth = 0;
thread_local int t_first_error = 0;

int on_protocol_error(Display*, XErrorEvent* event) {
    if (t_trap_depth > 0 && t_first_error == 0) {
        t_first_error = event->error_code;
    }
    return 0;
}

int on_io_error(Display*) {
    return 0;  // the per-connection handler below marks the connection lost
}

void on_io_error_exit(Display*, void* user_data) {
    static_cast<XDisplay*>(user_data)->mark_lost();
}

struct Property {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned char* data = nullptr;

    ~Property() {
        if (data != nullptr) {
            XFree(data);
        }
    }
};

bool read_property(XDisplay& display, Window window, Atom property, Atom type, Property& out) {
    if (display.lost()) {
        return false;
    }
    unsigned long after = 0;
    return XGetWindowProperty(display.get(), window, property, 0, kMaxPropertyItems, False, type,
                              &out.type, &out.format, &out.count, &after, &out.data) == Success &&
           out.data != nullptr && out.type != None;
}

std::string latin1_to_utf8(const unsigned char* text, unsigned long size) {
    std::string out;
    for (unsigned long i = 0; i < size; ++i) {
        const unsigned char c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace

void init_xlib_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(on_protocol_error);
        XSetIOErrorHandler(on_io_error);
    });
}

std::unique_ptr<XDisplay> XDisplay::open(const std::string& name, std::string& error) {
    init_xlib_once();
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display == nullptr) {
        error = "cannot open X display " + (name.empty() ? std::string("(none)") : name);
        return nullptr;
    }
    return std::unique_ptr<XDisplay>(new XDisplay(display));
}

XDisplay::XDisplay(Display* display)
    : display_(display), root_(DefaultRootWindow(display)), screen_(DefaultScreen(display)) {
    XSetIOErrorExitHandler(display_, on_io_error_exit, this);
    XInternAtoms(display_, const_cast<char**>(kAtomNames), static_cast<int>(atoms_.size()), False,
                 atoms_.data());
}

XDisplay::~XDisplay() {
    if (!lost_.load()) {
        XCloseDisplay(display_);
        return;
    }
    // Xlib's close would talk to the dead server first and may wait for a display lock that
    // another thread kept when it met the broken connection. The socket is closed; Xlib's few
    // bytes for the connection stay, held here, for the life of the process.
    static std::mutex parked_mutex;
    static auto* parked = new std::vector<Display*>;  // never destroyed: it outlives every thread
    ::close(ConnectionNumber(display_));
    std::lock_guard lock(parked_mutex);
    parked->push_back(display_);
}

bool XDisplay::lost() {
    if (lost_.load()) {
        return true;
    }
    pollfd socket{ConnectionNumber(display_), POLLIN | POLLRDHUP, 0};
    if (::poll(&socket, 1, 0) > 0 && (socket.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0) {
        mark_lost();
    }
    return lost_.load();
}

XID XDisplay::client_bits() {
    if (!client_bits_read_) {
        client_bits_read_ = true;
        // Xlib keeps the connection set-up to itself; a short connection of libxcb (which Xlib
        // runs on) reads the same, server-wide, id layout.
        xcb_connection_t* connection = xcb_connect(DisplayString(display_), nullptr);
        if (xcb_connection_has_error(connection) == 0) {
            client_bits_ = ~static_cast<XID>(xcb_get_setup(connection)->resource_id_mask);
        }
        xcb_disconnect(connection);
    }
    return client_bits_;
}

ErrorTrap::ErrorTrap(XDisplay& display) : display_(display) {
    if (t_trap_depth++ == 0) {
        t_first_error = 0;
    }
}

ErrorTrap::~ErrorTrap() {
    --t_trap_depth;
}

bool ErrorTrap::clean() const {
    return t_first_error == 0 && !display_.lost();
}

bool ErrorTrap::synced_ok() {
    if (!display_.lost()) {
        XSync(display_.get(), False);
    }
    return clean();
}

int ErrorTrap::error_code() const {
    return t_first_error;
}

std::vector<unsigned long> read_items(XDisplay& display, Window window, Atom property, Atom type) {
    Property p;
    if (!read_property(display, window, property, type, p) || p.type != type || p.format != 32) {
        return {};
    }
    // Xlib hands 32-bit items over as longs.
    const auto* items = reinterpret_cast<const unsigned long*>(p.data);
    return std::vector<unsigned long>(items, items + p.count);
}

std::optional<std::string> read_text(XDisplay& display, Window window, Atom property, Atom type) {
    Property p;
    if (!read_property(display, window, property, type, p) || p.format != 8) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(p.data), p.count);
}

std::string window_title(XDisplay& display, Window window) {
    if (auto title = read_text(display, window, display.atom(AtomId::net_wm_name),
                               display.atom(AtomId::utf8_string));
        title && !title->empty()) {
        return *title;
    }
    Property p;
    if (!read_property(display, window, XA_WM_NAME, AnyPropertyType, p) || p.format != 8) {
        return {};
    }
    if (p.type == display.atom(AtomId::utf8_string)) {
        return std::string(reinterpret_cast<const char*>(p.data), p.count);
    }
    return latin1_to_utf8(p.data, p.count);
}

void send_client_message(XDisplay& display, Window target, Window window, Atom type,
                         std::array<long, 5> data, long event_mask) {
    if (display.lost()) {
        return;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = type;
    event.xclient.format = 32;
    for (std::size_t i = 0; i < data.size(); ++i) {
        event.xclient.data.l[i] = data[i];
    }
    XSendEvent(display.get(), target, False, event_mask, &event);
}

}  // namespace vx::platform::x11
