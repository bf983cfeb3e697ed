#include "platform/hotkeys/XcbGlobalKeys.h"

#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace harkwell {

namespace {

// Keysyms of the keys we look for in the modifier map.
constexpr std::uint32_t kSuperL = 0xffeb;
constexpr std::uint32_t kSuperR = 0xffec;
constexpr std::uint32_t kAltL = 0xffe9;
constexpr std::uint32_t kAltR = 0xffea;
constexpr std::uint32_t kNumLock = 0xff7f;

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Modifiers that say nothing about which chord was meant: the lock keys, and the pointer buttons.
constexpr std::uint16_t kChordModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_2 |
                                          XCB_MOD_MASK_3 | XCB_MOD_MASK_4 | XCB_MOD_MASK_5;

}  // namespace

XcbGlobalKeys::XcbGlobalKeys(const QByteArray& display, QObject* parent) : GlobalKeys(parent)
{
    if (display.isEmpty())
        return;
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(display.constData(), &screenNumber);
    if (const int error = xcb_connection_has_error(connection)) {
        m_connectionError = error;
        xcb_disconnect(connection);
        return;
    }
    m_connection = connection;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    m_root = screens.data->root;
    readModifierKeys();

    m_notifier = new QSocketNotifier(xcb_get_file_descriptor(m_connection), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &XcbGlobalKeys::readEvents);
}

XcbGlobalKeys::~XcbGlobalKeys()
{
    if (!m_connection)
        return;
    for (const Grab& grab : std::as_const(m_grabs))
        ungrab(grab);
    xcb_flush(m_connection);
    xcb_disconnect(m_connection);
}

void XcbGlobalKeys::readModifierKeys()
{
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    m_minKeycode = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        m_connection, xcb_get_keyboard_mapping(m_connection, setup->min_keycode, std::uint8_t(count)), nullptr));
    if (mapping) {
        m_keysymsPerKeycode = mapping->keysyms_per_keycode;
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const int length = xcb_get_keyboard_mapping_keysyms_length(mapping.get());
        m_keysyms.reserve(length);
        for (int i = 0; i < length; ++i)
            m_keysyms.append(keysyms[i]);
    }

    // The usual places, for a server whose modifier map says nothing of these keys.
    m_superMask = XCB_MOD_MASK_4;
    m_altMask = XCB_MOD_MASK_1;
    m_numLockMask = XCB_MOD_MASK_2;
    Reply<xcb_get_modifier_mapping_reply_t> modifiers(
        xcb_get_modifier_mapping_reply(m_connection, xcb_get_modifier_mapping(m_connection), nullptr));
    if (!modifiers || m_keysymsPerKeycode == 0)
        return;
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(modifiers.get());
    const int perModifier = modifiers->keycodes_per_modifier;
    const auto holds = [&](std::uint8_t keycode, std::uint32_t keysym) {
        const qsizetype first = qsizetype(keycode - m_minKeycode) * m_keysymsPerKeycode;
        for (int column = 0; column < m_keysymsPerKeycode; ++column)
            if (first + column < m_keysyms.size() && m_keysyms[first + column] == keysym)
                return true;
        return false;
    };
    // Rows 3 to 7 of the map are Mod1 to Mod5; Shift, Lock and Control have fixed rows.
    for (int row = 3; row < 8; ++row) {
        const std::uint16_t mask = std::uint16_t(1u << row);
        for (int i = 0; i < perModifier; ++i) {
            const std::uint8_t keycode = keycodes[row * perModifier + i];
            if (keycode == 0 || keycode < m_minKeycode)
                continue;
            if (holds(keycode, kSuperL) || holds(keycode, kSuperR))
                m_superMask = mask;
            if (holds(keycode, kAltL) || holds(keycode, kAltR))
                m_altMask = mask;
            if (holds(keycode, kNumLock))
                m_numLockMask = mask;
        }
    }
}

std::optional<std::uint8_t> XcbGlobalKeys::keycodeFor(std::uint32_t keysym) const
{
    if (m_keysymsPerKeycode == 0)
        return std::nullopt;
    // A letter's keysym is its lower case; the mapping may list either form first.
    const std::uint32_t upper = (keysym >= 'a' && keysym <= 'z') ? keysym - 0x20 : keysym;
    for (qsizetype i = 0; i < m_keysyms.size(); ++i)
        if (m_keysyms[i] == keysym || m_keysyms[i] == upper)
            return std::uint8_t(m_minKeycode + i / m_keysymsPerKeycode);
    return std::nullopt;
}

std::uint16_t XcbGlobalKeys::maskFor(unsigned modifiers) const
{
    std::uint16_t mask = 0;
    if (modifiers & KeyChord::Shift)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & KeyChord::Control)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & KeyChord::Alt)
        mask |= m_altMask;
    if (modifiers & KeyChord::Super)
        mask |= m_superMask;
    return mask;
}

QList<std::uint16_t> XcbGlobalKeys::lockVariants() const
{
    return {0, XCB_MOD_MASK_LOCK, m_numLockMask, std::uint16_t(XCB_MOD_MASK_LOCK | m_numLockMask)};
}

std::expected<void, HotkeyError> XcbGlobalKeys::grab(int id, const KeyChord& chord)
{
    release(id);
    if (!m_connection) {
        return std::unexpected(HotkeyError{
            m_connectionError, QStringLiteral("Global keyboard shortcuts need an X11 display, and none could be reached.")});
    }
    const auto keycode = keycodeFor(chord.key);
    if (!keycode) {
        return std::unexpected(
            HotkeyError{XCB_MATCH, QStringLiteral("The keyboard has no key for this shortcut.")});
    }
    const Grab grab{*keycode, maskFor(chord.modifiers)};
    QList<xcb_void_cookie_t> cookies;
    for (const std::uint16_t variant : lockVariants()) {
        cookies.append(xcb_grab_key_checked(m_connection, 1, m_root, std::uint16_t(grab.mask | variant), grab.keycode,
                                            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    int status = 0;
    for (const xcb_void_cookie_t cookie : cookies) {
        Reply<xcb_generic_error_t> error(xcb_request_check(m_connection, cookie));
        if (error && status == 0)
            status = error->error_code;
    }
    if (status != 0) {
        // A half-taken chord would answer with NumLock on and not off: give back every variant.
        ungrab(grab);
        xcb_flush(m_connection);
        return std::unexpected(
            HotkeyError{status, QStringLiteral("Another application already uses this keyboard shortcut.")});
    }
    m_grabs.insert(id, grab);
    // Waiting for the replies may have read events the socket will not announce again.
    QMetaObject::invokeMethod(this, &XcbGlobalKeys::readEvents, Qt::QueuedConnection);
    return {};
}

void XcbGlobalKeys::release(int id)
{
    const auto found = m_grabs.constFind(id);
    if (found == m_grabs.cend())
        return;
    const Grab grab = *found;
    m_grabs.erase(found);
    if (!m_connection)
        return;
    // Another id may hold the same chord; leave the server's grab to it.
    for (const Grab& other : std::as_const(m_grabs))
        if (other.keycode == grab.keycode && other.mask == grab.mask)
            return;
    ungrab(grab);
    // A round trip: the server has let the chord go before this returns, so that another client
    // (a second copy of the application, the desktop) asking for it right after is not refused.
    Reply<xcb_get_input_focus_reply_t> synced(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

void XcbGlobalKeys::ungrab(const Grab& grab)
{
    for (const std::uint16_t variant : lockVariants())
        xcb_ungrab_key(m_connection, grab.keycode, m_root, std::uint16_t(grab.mask | variant));
}

void XcbGlobalKeys::readEvents()
{
    if (!m_connection)
        return;
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(m_connection)}) {
        if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
            continue;
        const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
        const std::uint16_t held = press->state & kChordModifiers & ~m_numLockMask;
        for (auto it = m_grabs.cbegin(); it != m_grabs.cend(); ++it) {
            if (it->keycode == press->detail && it->mask == held) {
                emit pressed(it.key());
                break;
            }
        }
    }
    if (const int error = xcb_connection_has_error(m_connection)) {
        // The X server went away; the grabs went with it.
        m_connectionError = error;
        m_notifier->setEnabled(false);
        xcb_disconnect(m_connection);
        m_connection = nullptr;
        m_grabs.clear();
    }
}

}  // namespace harkwell
