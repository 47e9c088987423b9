#include "ui/window_title.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

namespace qe {
namespace {

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(
        connection, /*only_if_exists=*/0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    xcb_atom_t atom = XCB_ATOM_NONE;
    if (reply != nullptr) {
        atom = reply->atom;
        std::free(reply);
    }
    return atom;
}

}  // namespace

void ClearWindowTitle(QWidget* window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr) {
        return;  // offscreen answers as X11 without a connection
    }
    const auto id = static_cast<xcb_window_t>(window->winId());
    // Window managers read the UTF-8 name first and the old one otherwise: both go empty.
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, Atom(connection, "_NET_WM_NAME"),
                        Atom(connection, "UTF8_STRING"), 8, 0, nullptr);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        0, nullptr);
}

}  // namespace qe
