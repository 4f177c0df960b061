#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QSocketNotifier>
#include <QStringList>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

// The file manager's side of a drag, for tests under a real X server: a
// window on an X connection of its own that takes Xdnd drops as a file
// manager showing a folder does, and a pointer driven through XTEST. It works
// from the main thread's event loop, so it answers while a drag's loop runs.
class XdsFileManagerPeer {
 public:
  enum class Mode {
    DirectSave,       // accepts drags offering XdndDirectSave0 and asks for that
    DirectSaveTwice,  // asks twice, as a clumsy target might
    UriList,          // knows no direct save: accepts any drag, asks for text/uri-list
  };
  struct Observation {
    QStringList offeredTypes;  // of the latest enter
    QByteArray promisedName;   // read from the source at the drop
    bool answered = false;     // the source answered a data request
    QByteArray answer, secondAnswer;
    bool finished = false, finishedAccepted = false;
    QByteArray steps;  // what the drag did here, for a failure's message: Enter, Position, Drop
  };
  Observation seen;

  // On a drop it names folderUri followed by the promised name, escaped.
  explicit XdsFileManagerPeer(QByteArray folderUri, Mode mode = Mode::DirectSave, QRect geometry = {700, 100, 300, 300})
      : m_folderUri(std::move(folderUri)), m_mode(mode), m_geometry(geometry) {
    m_ready = Setup();
    m_notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(m_c), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
  }
  ~XdsFileManagerPeer() {
    if (m_held) Input(XCB_BUTTON_RELEASE, 1);  // never leave the button down for the next test
    m_notifier.reset();
    xcb_disconnect(m_c);
  }

  bool ready() const { return m_ready; }  // on screen, on an X server with XTEST
  QPoint center() const { return m_geometry.center(); }

  // Presses the first button at `at` and moves to `nudge`, keeping it down.
  void press(QPoint at, QPoint nudge) {
    Input(XCB_MOTION_NOTIFY, 0, at);
    Input(XCB_BUTTON_PRESS, 1);
    Input(XCB_MOTION_NOTIFY, 0, nudge);
    m_held = true;
  }
  // Moves from `from` to `to` (pressing first unless held). With releaseHere
  // the button goes up once the peer has answered the source there, so the
  // source knows whether the drop is wanted before it ends.
  void drag(QPoint from, QPoint to, bool releaseHere = true) {
    if (!m_held) press(from, from);
    for (int i = 1; i <= 12; ++i) Input(XCB_MOTION_NOTIFY, 0, from + (to - from) * i / 12);
    m_releaseAtPosition = releaseHere;
    Drain();
  }
  void release() {
    Input(XCB_BUTTON_RELEASE, 1);
    m_held = false;
  }

 private:
  enum Atom { kAware, kEnter, kPosition, kStatus, kDrop, kFinished, kSelection, kCopy, kDirectSave, kText, kUris, kData };
  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  template <typename T>
  using Reply = std::unique_ptr<T, Free>;

  bool Setup() {
    int screenNumber = 0;
    m_c = xcb_connect(nullptr, &screenNumber);
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(m_c, &xcb_test_id);
    if (xcb_connection_has_error(m_c) || !xtest || !xtest->present) return false;
    xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(m_c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screen);
    m_root = screen.data->root;
    const char* names[] = {"XdndAware",       "XdndEnter",     "XdndPosition",  "XdndStatus",
                           "XdndDrop",        "XdndFinished",  "XdndSelection", "XdndActionCopy",
                           "XdndDirectSave0", "text/plain",    "text/uri-list", "QUILLPRESS_PEER_DATA"};
    for (int i = 0; i <= kData; ++i) {
      Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
          m_c, xcb_intern_atom(m_c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]), nullptr));
      m_atom[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    m_window = xcb_generate_id(m_c);
    // Override-redirect: the window stays where the test put it, window manager or not.
    const std::uint32_t values[] = {screen.data->white_pixel, 1};
    xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, m_root, static_cast<std::int16_t>(m_geometry.x()),
                      static_cast<std::int16_t>(m_geometry.y()), static_cast<std::uint16_t>(m_geometry.width()),
                      static_cast<std::uint16_t>(m_geometry.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen.data->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    const std::uint32_t version = 5;
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, m_window, m_atom[kAware], XCB_ATOM_ATOM, 32, 1, &version);
    xcb_map_window(m_c, m_window);
    Sync();
    return true;
  }

  void Sync() { Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr)); }
  void Input(std::uint8_t type, std::uint8_t detail, QPoint at = {}) {
    xcb_test_fake_input(m_c, type, detail, XCB_CURRENT_TIME, m_root, static_cast<std::int16_t>(at.x()),
                        static_cast<std::int16_t>(at.y()), 0);
    Sync();
  }
  std::optional<QByteArray> Property(xcb_window_t window, xcb_atom_t property, bool remove) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        m_c, xcb_get_property(m_c, remove, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) return std::nullopt;
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
  }
  void Send(Atom type, std::uint32_t d1, std::uint32_t d4) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = m_source;
    event.type = m_atom[type];
    event.data.data32[0] = m_window;
    event.data.data32[1] = d1;
    event.data.data32[4] = d4;
    xcb_send_event(m_c, 0, m_source, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  }
  void Ask(Atom type) { xcb_convert_selection(m_c, m_window, m_atom[kSelection], m_atom[type], m_atom[kData], m_time); }
  void Finish(bool accepted) {
    Send(kFinished, accepted ? 1u : 0u, accepted ? m_atom[kCopy] : xcb_atom_t{XCB_ATOM_NONE});
    seen.finished = true;
    seen.finishedAccepted = accepted;
  }

  // Events that a round trip read in are queued without waking the notifier:
  // every pass takes them all.
  void Drain() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_c)) {
      if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE)
        OnMessage(*reinterpret_cast<xcb_client_message_event_t*>(event));
      else if ((event->response_type & 0x7f) == XCB_SELECTION_NOTIFY)
        OnData(*reinterpret_cast<xcb_selection_notify_event_t*>(event));
      std::free(event);
    }
    xcb_flush(m_c);
  }

  void OnMessage(const xcb_client_message_event_t& event) {
    const std::uint32_t* d = event.data.data32;
    if (event.type == m_atom[kEnter]) {
      seen.steps += 'E';
      m_source = d[0];
      seen.offeredTypes.clear();
      m_accepting = m_mode == Mode::UriList;
      for (int i = 2; i < 5; ++i) {
        if (d[i] == XCB_ATOM_NONE) continue;
        Reply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(m_c, xcb_get_atom_name(m_c, d[i]), nullptr));
        if (name) seen.offeredTypes << QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                                          xcb_get_atom_name_name_length(name.get()));
        m_accepting = m_accepting || d[i] == m_atom[kDirectSave];
      }
    } else if (event.type == m_atom[kPosition] && d[0] == m_source) {
      seen.steps += 'P';
      // Accepting: bit 0, and bit 1 for "keep sending positions"; a refusal is all zero.
      Send(kStatus, m_accepting ? 3u : 0u, m_accepting ? m_atom[kCopy] : xcb_atom_t{XCB_ATOM_NONE});
      if (std::exchange(m_releaseAtPosition, false)) release();
    } else if (event.type == m_atom[kDrop] && d[0] == m_source) {
      seen.steps += 'D';
      m_time = d[2];
      if (!m_accepting) return Finish(false);
      if (m_mode == Mode::UriList) return Ask(kUris);
      const std::optional<QByteArray> name = Property(m_source, m_atom[kDirectSave], false);
      if (!name || name->isEmpty()) return Finish(false);  // no promised name on the source window
      seen.promisedName = *name;
      const QByteArray uri = m_folderUri + name->toPercentEncoding();
      xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, m_source, m_atom[kDirectSave], m_atom[kText], 8,
                          static_cast<std::uint32_t>(uri.size()), uri.constData());
      Ask(kDirectSave);
    }
  }

  void OnData(const xcb_selection_notify_event_t& event) {
    if (event.requestor != m_window) return;
    const QByteArray data = event.property == XCB_ATOM_NONE
                                ? QByteArray()
                                : Property(m_window, event.property, true).value_or(QByteArray());
    (seen.answered ? seen.secondAnswer : seen.answer) = data;
    if (m_mode == Mode::DirectSaveTwice && !std::exchange(seen.answered, true)) return Ask(kDirectSave);
    seen.answered = true;
    Finish(m_mode == Mode::UriList ? !data.isEmpty() : data == "S");
  }

  QByteArray m_folderUri;
  Mode m_mode;
  QRect m_geometry;
  bool m_ready = false;
  xcb_connection_t* m_c = nullptr;
  xcb_window_t m_root = XCB_WINDOW_NONE, m_window = XCB_WINDOW_NONE, m_source = XCB_WINDOW_NONE;
  xcb_atom_t m_atom[kData + 1] = {};
  xcb_timestamp_t m_time = XCB_CURRENT_TIME;
  bool m_accepting = false, m_held = false, m_releaseAtPosition = false;
  std::unique_ptr<QSocketNotifier> m_notifier;
};
