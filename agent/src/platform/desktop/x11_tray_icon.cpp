// The agent's icon in the desktop's system tray (System Tray Protocol over XEmbed) and the small
// menu window a click on it opens.

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "platform/desktop/x11_desktop.hpp"

namespace vx::platform::x11 {
namespace {

constexpr long kRequestDock = 0;            // SYSTEM_TRAY_REQUEST_DOCK
constexpr unsigned long kXembedMapped = 1;  // XEMBED_MAPPED: the tray shows the icon at once
constexpr int kIconSize = 22;               // until the tray says how high its icons are
constexpr int kMaxIconSize = 256;           // a height past this is no tray's row of icons
constexpr unsigned long kIconColour = 0x1F6FB2;
constexpr int kMenuPadding = 8;
constexpr int kMenuMinWidth = 180;
constexpr int kSeparatorHeight = 7;
constexpr char16_t kReplacement = 0xFFFD;
// Fonts the menu tries, first to last: the fixed font in its Unicode encodings (xfonts-base),
// then any Unicode font of that size, then the server's "fixed", which may be Latin-1 only.
constexpr const char* kMenuFonts[] = {
    "-misc-fixed-medium-r-semicondensed--13-*-*-*-*-*-iso10646-1",
    "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso10646-1",
    "-*-*-medium-r-normal--13-*-*-*-*-*-iso10646-1",
    "fixed",
};

}  // namespace

std::u16string font_units(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80             ? 0
                          : (lead & 0xE0) == 0xC0 ? 1
                          : (lead & 0xF0) == 0xE0 ? 2
                                                  : 3;
        char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
        bool valid = (extra == 0 || lead >= 0xC2) && (extra < 3 || (lead & 0xF8) == 0xF0) &&
                     i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        const bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
        const bool fits = cp < 0x10000 && (cp < 0xD800 || cp > 0xDFFF);
        out.push_back(valid && !overlong && fits ? static_cast<char16_t>(cp) : kReplacement);
        i += valid ? static_cast<std::size_t>(extra) + 1 : 1;
    }
    return out;
}

namespace {

unsigned long colour(Display* d, int screen, unsigned short grey, unsigned long fallback) {
    XColor c{};
    c.red = c.green = c.blue = grey;
    return XAllocColor(d, DefaultColormap(d, screen), &c) != 0 ? c.pixel : fallback;
}

void set_utf8_property(XDisplay& d, Window w, Atom property, const std::string& text) {
    XChangeProperty(d.get(), w, property, d.atom(AtomId::utf8_string), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
}

// The size the icon asks of the tray. Trays size an embedded icon by its WM_NORMAL_HINTS (the
// minimum, else the base size); without them trayer gives it one pixel of width.
void set_size_hints(XDisplay& d, Window w, int size) {
    XSizeHints hints{};
    hints.flags = PMinSize | PBaseSize;
    hints.min_width = hints.min_height = size;
    hints.base_width = hints.base_height = size;
    XSetWMNormalHints(d.get(), w, &hints);
}

void set_own_pid(XDisplay& d, Window w) {
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    XChangeProperty(d.get(), w, d.atom(AtomId::net_wm_pid), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
}

// Whether `font` has a glyph for `unit` (a character of a 16-bit font, a byte of an 8-bit one);
// the server would draw nothing, or its default character, for one it has not.
bool has_glyph(const XFontStruct& font, char16_t unit) {
    const unsigned byte1 = unit >> 8;
    const unsigned byte2 = unit & 0xFF;
    if (byte1 < font.min_byte1 || byte1 > font.max_byte1 || byte2 < font.min_char_or_byte2 ||
        byte2 > font.max_char_or_byte2) {
        return false;
    }
    if (font.per_char == nullptr) {
        return true;  // every character of the range has the same metrics
    }
    const unsigned row = font.max_char_or_byte2 - font.min_char_or_byte2 + 1;
    const XCharStruct& c =
        font.per_char[(byte1 - font.min_byte1) * row + (byte2 - font.min_char_or_byte2)];
    return c.width != 0 || c.lbearing != 0 || c.rbearing != 0 || c.ascent != 0 || c.descent != 0;
}

// The characters of a UTF-8 menu line as `font` draws them: a character it has no glyph for (a
// Latin-1 font has none beyond U+00FF) shows as '?'.
std::vector<XChar2b> drawn_line(const XFontStruct* font, const std::string& text) {
    std::vector<XChar2b> out;
    for (char16_t unit : font_units(text)) {
        if (font != nullptr && !has_glyph(*font, unit)) {
            unit = u'?';
        }
        out.push_back({static_cast<unsigned char>(unit >> 8), static_cast<unsigned char>(unit)});
    }
    return out;
}

// The open menu: its window and where each line lies.
struct Menu {
    Window window = None;
    std::vector<TrayMenuItem> items;
    std::vector<std::vector<XChar2b>> lines;
    std::vector<int> tops;  // y of each line; one more entry for the bottom
    int width = 0;
};

class X11TrayIcon final : public TrayIcon {
  public:
    explicit X11TrayIcon(std::unique_ptr<XDisplay> display) : d_(std::move(display)) {}

    ~X11TrayIcon() override {
        ErrorTrap trap(*d_);
        if (!d_->lost()) {
            close_menu();
            if (icon_ != None) {
                XDestroyWindow(d_->get(), icon_);  // the tray drops a docked window that is gone
            }
        }
        // Also on a lost connection: these free our side's memory too.
        if (gc_ != nullptr) {
            XFreeGC(d_->get(), gc_);
        }
        if (font_ != nullptr) {
            XFreeFont(d_->get(), font_);
        }
        if (!d_->lost()) {
            XSync(d_->get(), False);
        }
    }

    bool create(const std::string& tip, TrayRefusal& refusal, std::string& error) {
        ErrorTrap trap(*d_);
        const std::string selection_name = "_NET_SYSTEM_TRAY_S" + std::to_string(d_->screen());
        selection_ = XInternAtom(d_->get(), selection_name.c_str(), False);
        const Window tray = XGetSelectionOwner(d_->get(), selection_);
        if (tray == None) {
            refusal = TrayRefusal::no_tray;
            error = "no program owns " + selection_name;
            return false;
        }
        make_icon_window(tip);
        // A tray that takes the selection announces itself on the root window (MANAGER): a panel
        // that restarts gets the icon again.
        XSelectInput(d_->get(), d_->root(), StructureNotifyMask);
        request_dock(tray);
        if (!trap.synced_ok()) {
            refusal = TrayRefusal::failed;
            error = d_->lost() ? "the X connection was lost"
                               : "X error " + std::to_string(trap.error_code());
            return false;
        }
        return true;
    }

    int wait_fd() const override { return ConnectionNumber(d_->get()); }

    bool pump(const TrayCallbacks& callbacks) override {
        ErrorTrap trap(*d_);
        while (!d_->lost() && XPending(d_->get()) > 0) {
            XEvent event;
            XNextEvent(d_->get(), &event);
            handle(event, callbacks);
        }
        if (!d_->lost()) {
            XFlush(d_->get());
        }
        return !d_->lost();
    }

  private:
    void make_icon_window(const std::string& tip) {
        Display* d = d_->get();
        const int screen = d_->screen();
        icon_ = XCreateSimpleWindow(d, d_->root(), 0, 0, kIconSize, kIconSize, 0, 0, kIconColour);
        XSelectInput(d, icon_,
                     ButtonPressMask | ButtonReleaseMask | ExposureMask | StructureNotifyMask);
        set_size_hints(*d_, icon_, kIconSize);
        const unsigned long xembed_info[2] = {0, kXembedMapped};  // protocol version 0
        XChangeProperty(d, icon_, d_->atom(AtomId::xembed_info), d_->atom(AtomId::xembed_info), 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(xembed_info), 2);
        set_utf8_property(*d_, icon_, d_->atom(AtomId::net_wm_name), tip);
        set_own_pid(*d_, icon_);
        gc_ = XCreateGC(d, icon_, 0, nullptr);
        for (const char* name : kMenuFonts) {
            if ((font_ = XLoadQueryFont(d, name)) != nullptr) {
                break;
            }
        }
        if (font_ != nullptr) {
            XSetFont(d, gc_, font_->fid);
        }
        black_ = BlackPixel(d, screen);
        white_ = WhitePixel(d, screen);
        grey_ = colour(d, screen, 0x8888, black_);
    }

    void handle(const XEvent& event, const TrayCallbacks& callbacks) {
        switch (event.type) {
            case Expose:
                if (event.xexpose.count == 0) {
                    event.xexpose.window == icon_ ? draw_icon() : draw_menu();
                }
                break;
            case ConfigureNotify:
                if (event.xconfigure.window == icon_) {
                    on_icon_resized(event.xconfigure.width, event.xconfigure.height);
                }
                break;
            case ButtonPress:
                if (menu_ && event.xbutton.window != icon_ && !inside_menu(event.xbutton)) {
                    close_menu();  // a click anywhere else dismisses the menu
                }
                break;
            case ButtonRelease:
                on_release(event.xbutton, callbacks);
                break;
            case KeyPress:
                if (XLookupKeysym(const_cast<XKeyEvent*>(&event.xkey), 0) == XK_Escape) {
                    close_menu();
                }
                break;
            case ClientMessage:
                if (event.xclient.message_type == d_->atom(AtomId::manager) &&
                    static_cast<Atom>(event.xclient.data.l[1]) == selection_) {
                    on_new_tray();
                }
                break;
            default:
                break;
        }
    }

    void request_dock(Window tray) {
        send_client_message(*d_, tray, tray, d_->atom(AtomId::net_system_tray_opcode),
                            {CurrentTime, kRequestDock, static_cast<long>(icon_), 0, 0},
                            NoEventMask);
    }

    // Anyone may send MANAGER: the dock request goes to the selection's owner, not to the window
    // the message names.
    void on_new_tray() {
        if (const Window tray = XGetSelectionOwner(d_->get(), selection_); tray != None) {
            request_dock(tray);
        }
    }

    // The tray sets the icon's height (its row's): the icon asks to be as wide, a square.
    void on_icon_resized(int width, int height) {
        icon_width_ = width;
        icon_height_ = height;
        if (height > 0 && height <= kMaxIconSize && height != hinted_size_) {
            hinted_size_ = height;
            set_size_hints(*d_, icon_, height);
        }
    }

    void on_release(const XButtonEvent& button, const TrayCallbacks& callbacks) {
        if (button.window == icon_ && (button.button == Button1 || button.button == Button3)) {
            if (menu_) {
                close_menu();
            } else if (callbacks.menu) {
                open_menu(callbacks.menu(lines_on_screen()), button.x_root, button.y_root);
            }
            return;
        }
        if (!menu_ || button.window != menu_->window || !inside_menu(button)) {
            return;
        }
        const std::optional<int> command = command_at(button.y);
        if (command) {
            close_menu();
            if (callbacks.chosen) {
                callbacks.chosen(*command);
            }
        }
    }

    bool inside_menu(const XButtonEvent& button) const {
        return menu_ && button.window == menu_->window && button.x >= 0 && button.y >= 0 &&
               button.x < menu_->width && button.y < menu_->tops.back();
    }

    std::optional<int> command_at(int y) const {
        for (std::size_t i = 0; i < menu_->items.size(); ++i) {
            const TrayMenuItem& item = menu_->items[i];
            if (y >= menu_->tops[i] && y < menu_->tops[i + 1]) {
                if (item.separator || !item.enabled || item.command == 0) {
                    return std::nullopt;
                }
                return item.command;
            }
        }
        return std::nullopt;
    }

    int line_height() const { return font_ != nullptr ? font_->ascent + font_->descent + 8 : 21; }

    int text_width(const std::vector<XChar2b>& line) const {
        return font_ != nullptr ? XTextWidth16(font_, line.data(), static_cast<int>(line.size()))
                                : static_cast<int>(line.size()) * 7;
    }

    // Counting a separator as a whole line: the menu cannot scroll, so it must rather be short.
    std::size_t lines_on_screen() const {
        const int height = DisplayHeight(d_->get(), d_->screen()) - 2;
        return static_cast<std::size_t>(std::max(1, height / line_height()));
    }

    void open_menu(std::vector<TrayMenuItem> items, int x, int y) {
        Menu menu;
        menu.width = kMenuMinWidth;
        int top = 0;
        for (const TrayMenuItem& item : items) {
            menu.tops.push_back(top);
            menu.lines.push_back(drawn_line(font_, item.text));
            top += item.separator ? kSeparatorHeight : line_height();
            menu.width = std::max(menu.width, text_width(menu.lines.back()) + 2 * kMenuPadding);
        }
        menu.tops.push_back(top);
        menu.items = std::move(items);
        if (top == 0) {
            return;
        }
        // Beside the pointer, kept on the screen (a tray at the bottom opens it upwards).
        const int screen_w = DisplayWidth(d_->get(), d_->screen());
        const int screen_h = DisplayHeight(d_->get(), d_->screen());
        x = std::clamp(x, 0, std::max(0, screen_w - menu.width - 2));
        y = y + top + 2 > screen_h ? std::max(0, y - top - 2) : y;
        menu.window = make_menu_window(x, y, menu.width, top);
        menu_ = std::move(menu);
        XMapRaised(d_->get(), menu_->window);
        XGrabPointer(d_->get(), menu_->window, True, ButtonPressMask | ButtonReleaseMask,
                     GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
        XGrabKeyboard(d_->get(), menu_->window, True, GrabModeAsync, GrabModeAsync, CurrentTime);
    }

    Window make_menu_window(int x, int y, int width, int height) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;  // a menu: the window manager leaves it alone
        attributes.background_pixel = white_;
        attributes.border_pixel = grey_;
        attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | KeyPressMask;
        const Window w = XCreateWindow(
            d_->get(), d_->root(), x, y, static_cast<unsigned>(width),
            static_cast<unsigned>(height), 1, CopyFromParent, InputOutput, CopyFromParent,
            CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &attributes);
        set_utf8_property(*d_, w, d_->atom(AtomId::net_wm_name), "Velmora Agent");
        set_own_pid(*d_, w);
        return w;
    }

    void close_menu() {
        if (!menu_) {
            return;
        }
        XUngrabPointer(d_->get(), CurrentTime);
        XUngrabKeyboard(d_->get(), CurrentTime);
        XDestroyWindow(d_->get(), menu_->window);
        menu_.reset();
    }

    void draw_icon() {
        // A white "V" on the blue square.
        XSetForeground(d_->get(), gc_, white_);
        const int w = icon_width_;
        const int h = icon_height_;
        XDrawLine(d_->get(), icon_, gc_, w / 4, h / 4, w / 2, 3 * h / 4);
        XDrawLine(d_->get(), icon_, gc_, w / 2, 3 * h / 4, 3 * w / 4, h / 4);
    }

    void draw_menu() {
        if (!menu_) {
            return;
        }
        const int ascent = font_ != nullptr ? font_->ascent : 11;
        for (std::size_t i = 0; i < menu_->items.size(); ++i) {
            const TrayMenuItem& item = menu_->items[i];
            const int top = menu_->tops[i];
            if (item.separator) {
                XSetForeground(d_->get(), gc_, grey_);
                XDrawLine(d_->get(), menu_->window, gc_, 4, top + kSeparatorHeight / 2,
                          menu_->width - 4, top + kSeparatorHeight / 2);
                continue;
            }
            XSetForeground(d_->get(), gc_, item.enabled ? black_ : grey_);
            const std::vector<XChar2b>& line = menu_->lines[i];
            XDrawString16(d_->get(), menu_->window, gc_, kMenuPadding, top + 4 + ascent,
                          line.data(), static_cast<int>(line.size()));
        }
    }

    std::unique_ptr<XDisplay> d_;
    Atom selection_ = None;  // _NET_SYSTEM_TRAY_S<screen>
    Window icon_ = None;
    int icon_width_ = kIconSize;
    int icon_height_ = kIconSize;
    int hinted_size_ = kIconSize;
    GC gc_ = nullptr;
    XFontStruct* font_ = nullptr;
    unsigned long black_ = 0;
    unsigned long white_ = 0;
    unsigned long grey_ = 0;
    std::optional<Menu> menu_;
};

}  // namespace

std::unique_ptr<TrayIcon> show_tray_icon(const std::string& display_name, const std::string& tip,
                                         TrayRefusal& refusal, std::string& error) {
    auto display = XDisplay::open(display_name, error);
    if (!display) {
        refusal = TrayRefusal::failed;
        return nullptr;
    }
    auto icon = std::make_unique<X11TrayIcon>(std::move(display));
    if (!icon->create(tip, refusal, error)) {
        return nullptr;
    }
    refusal = TrayRefusal::none;
    return icon;
}

}  // namespace vx::platform::x11
