#include "XdsFileManagerPeer.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Long enough for a loaded machine; only a broken exchange ever waits it out.
constexpr auto kExchangeDeadline = std::chrono::seconds(30);

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

}  // namespace

struct XdsFileManagerPeer::State {
  // Fixed before the thread starts.
  Mode mode;
  fs::path folder;
  QRect geometry;

  // Shared with the test thread.
  mutable std::mutex mutex;
  std::condition_variable readyChanged;
  bool started = false;
  bool isReady = false;
  Observation observed;
  Options options;
  struct DragRequest {
    enum class Kind { Drag, Press, Move, Release } kind;
    QPoint from, to;
    int steps = 1;
    bool waitForPeer = true;  // release only once the peer has answered a position
  };
  std::optional<DragRequest> pendingDrag;
  std::atomic<bool> stop{false};
  int wakeFd = -1;
  std::thread thread;

  // The peer's thread only.
  xcb_connection_t* c = nullptr;
  xcb_screen_t* screen = nullptr;
  xcb_window_t window = XCB_WINDOW_NONE;
  struct {
    xcb_atom_t aware, enter, position, status, leave, drop, finished, typeList, selection, actionCopy,
        directSave, textPlain, uriList, peerData;
  } atom{};
  xcb_window_t source = XCB_WINDOW_NONE;
  std::vector<xcb_atom_t> offered;
  bool acceptingDrag = false;
  enum class Await { Nothing, DirectSave, DirectSaveAgain, UriList } awaiting = Await::Nothing;
  xcb_timestamp_t dropTime = XCB_CURRENT_TIME;
  Clock::time_point awaitDeadline;
  std::optional<DragRequest> drag;
  int answeredAtPress = 0;
  Clock::time_point releaseDeadline;
  bool held = false;  // the button is down from an earlier press

  void Run();
  bool Setup();
  void Problem(const QString& what) {
    std::lock_guard lock(mutex);
    if (observed.problem.isEmpty()) observed.problem = what;
  }
  template <typename F>
  void Observe(F&& change) {
    std::lock_guard lock(mutex);
    change(observed);
  }

  xcb_atom_t Intern(const char* name) {
    const auto length = static_cast<std::uint16_t>(std::strlen(name));
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, length, name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  QString AtomName(xcb_atom_t a) {
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, a), nullptr));
    if (!reply) return {};
    return QString::fromLatin1(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
  }
  std::optional<QByteArray> ReadProperty(xcb_window_t w, xcb_atom_t property, bool remove) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, remove ? 1 : 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) return std::nullopt;
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
  }
  void Send(xcb_atom_t type, std::uint32_t d1, std::uint32_t d2, std::uint32_t d3, std::uint32_t d4) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = source;
    event.type = type;
    event.data.data32[0] = window;
    event.data.data32[1] = d1;
    event.data.data32[2] = d2;
    event.data.data32[3] = d3;
    event.data.data32[4] = d4;
    xcb_send_event(c, 0, source, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c);
  }
  void Finish(bool accepted) {
    Send(atom.finished, accepted ? 1u : 0u, accepted ? atom.actionCopy : xcb_atom_t{XCB_ATOM_NONE}, 0, 0);
    awaiting = Await::Nothing;
    Observe([&](Observation& o) {
      o.finished = true;
      o.finishedAccepted = accepted;
    });
  }
  void FakeInput(std::uint8_t type, std::uint8_t detail, QPoint at = {}) {
    xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, screen->root, static_cast<std::int16_t>(at.x()),
                        static_cast<std::int16_t>(at.y()), 0);
  }
  void Sync() {
    Reply<xcb_get_input_focus_reply_t> reply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  void HandleClientMessage(const xcb_client_message_event_t& event);
  void HandleEnter(const xcb_client_message_event_t& event);
  void HandleDrop(const xcb_client_message_event_t& event);
  void HandleSelectionNotify(const xcb_selection_notify_event_t& event);
  // From the test's thread: hands the peer's thread a pointer request.
  void Ask(const DragRequest& request);
  bool TakeDragRequest();
  bool AdvanceDrag();
  bool CheckDeadlines();
  int PollTimeoutMs() const;
};

bool XdsFileManagerPeer::State::Setup() {
  int screenNumber = 0;
  c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(c)) {
    Problem(QStringLiteral("cannot connect to the X server (DISPLAY=%1)").arg(qEnvironmentVariable("DISPLAY")));
    return false;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  screen = it.data;
  const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(c, &xcb_test_id);
  if (!xtest || !xtest->present) {
    Problem(QStringLiteral("the X server has no XTEST extension"));
    return false;
  }

  for (auto [slot, name] : {std::pair{&atom.aware, "XdndAware"}, {&atom.enter, "XdndEnter"},
                            {&atom.position, "XdndPosition"}, {&atom.status, "XdndStatus"}, {&atom.leave, "XdndLeave"},
                            {&atom.drop, "XdndDrop"}, {&atom.finished, "XdndFinished"},
                            {&atom.typeList, "XdndTypeList"}, {&atom.selection, "XdndSelection"},
                            {&atom.actionCopy, "XdndActionCopy"}, {&atom.directSave, "XdndDirectSave0"},
                            {&atom.textPlain, "text/plain"}, {&atom.uriList, "text/uri-list"},
                            {&atom.peerData, "QUILLPRESS_PEER_DATA"}})
    *slot = Intern(name);

  window = xcb_generate_id(c);
  // Override-redirect: the window stays where the test put it, window manager or not.
  const std::uint32_t values[] = {screen->white_pixel, 1, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<std::int16_t>(geometry.x()),
                    static_cast<std::int16_t>(geometry.y()), static_cast<std::uint16_t>(geometry.width()),
                    static_cast<std::uint16_t>(geometry.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  const std::uint32_t version = 5;
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom.aware, XCB_ATOM_ATOM, 32, 1, &version);
  const char title[] = "File manager peer";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, sizeof title - 1,
                      title);
  const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
  xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
  xcb_map_window(c, window);
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
    Problem(QStringLiteral("the peer window did not map"));
    return false;
  }
  return true;
}

void XdsFileManagerPeer::State::HandleEnter(const xcb_client_message_event_t& event) {
  source = event.data.data32[0];
  offered.clear();
  acceptingDrag = false;
  if (event.data.data32[1] & 1) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, source, atom.typeList, XCB_ATOM_ATOM, 0, 1024), nullptr));
    if (reply && reply->format == 32) {
      const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
      offered.assign(atoms, atoms + xcb_get_property_value_length(reply.get()) / 4);
    }
  } else {
    for (int i = 2; i < 5; ++i)
      if (event.data.data32[i] != XCB_ATOM_NONE) offered.push_back(event.data.data32[i]);
  }
  QStringList names;
  for (xcb_atom_t a : offered) names.append(AtomName(a));
  const auto offers = [&](xcb_atom_t a) { return std::find(offered.begin(), offered.end(), a) != offered.end(); };
  switch (mode) {
    case Mode::DirectSave: acceptingDrag = offers(atom.directSave); break;
    case Mode::UriListOnly: acceptingDrag = offers(atom.uriList); break;
    case Mode::AcceptWithoutDirectSave: acceptingDrag = true; break;
  }
  Observe([&](Observation& o) {
    ++o.enters;
    o.offeredTypes = names;
  });
}

void XdsFileManagerPeer::State::HandleClientMessage(const xcb_client_message_event_t& event) {
  if (event.format != 32) return;
  if (event.type == atom.enter) {
    HandleEnter(event);
  } else if (event.type == atom.position) {
    if (event.data.data32[0] != source) return;
    // Accepting: bit 0, and bit 1 for "keep sending positions". A refusal
    // is all zero, as desktop file managers send it (Qt's source takes any
    // set bit for an acceptance).
    Send(atom.status, acceptingDrag ? 3u : 0u, 0, 0,
         acceptingDrag ? atom.actionCopy : xcb_atom_t{XCB_ATOM_NONE});
    Observe([&](Observation& o) {
      ++o.positions;
      if (acceptingDrag) ++o.acceptedPositions;
    });
  } else if (event.type == atom.leave) {
    source = XCB_WINDOW_NONE;
  } else if (event.type == atom.drop) {
    if (event.data.data32[0] != source) return;
    HandleDrop(event);
  }
}

void XdsFileManagerPeer::State::HandleDrop(const xcb_client_message_event_t& event) {
  Observe([](Observation& o) { ++o.drops; });
  const xcb_timestamp_t time = event.data.data32[2];
  dropTime = time;
  if (!acceptingDrag) {
    Finish(false);
    return;
  }
  if (mode != Mode::DirectSave) {
    xcb_convert_selection(c, window, atom.selection, atom.uriList, atom.peerData, time);
    xcb_flush(c);
    awaiting = Await::UriList;
    awaitDeadline = Clock::now() + kExchangeDeadline;
    return;
  }

  const std::optional<QByteArray> name = ReadProperty(source, atom.directSave, false);
  if (!name || name->isEmpty()) {
    Problem(QStringLiteral("the source window carries no promised name"));
    Finish(false);
    return;
  }
  const QByteArray uri = options.uriOverride.value_or(FileUri(options.host, folder / fs::path(name->toStdString())));
  Observe([&](Observation& o) {
    o.promisedName = *name;
    o.writtenUri = uri;
  });
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, source, atom.directSave, atom.textPlain, 8,
                      static_cast<std::uint32_t>(uri.size()), uri.constData());
  xcb_convert_selection(c, window, atom.selection, atom.directSave, atom.directSave, time);
  xcb_flush(c);
  awaiting = Await::DirectSave;
  awaitDeadline = Clock::now() + kExchangeDeadline;
}

void XdsFileManagerPeer::State::HandleSelectionNotify(const xcb_selection_notify_event_t& event) {
  if (awaiting == Await::Nothing || event.requestor != window) return;
  std::optional<QByteArray> data;
  if (event.property != XCB_ATOM_NONE) data = ReadProperty(window, event.property, true);
  if (awaiting == Await::DirectSave || awaiting == Await::DirectSaveAgain) {
    const bool first = awaiting == Await::DirectSave;
    Observe([&](Observation& o) {
      o.answered = true;
      (first ? o.answer : o.secondAnswer) = data.value_or(QByteArray());
    });
    if (first && options.askTwice) {
      xcb_convert_selection(c, window, atom.selection, atom.directSave, atom.directSave, dropTime);
      xcb_flush(c);
      awaiting = Await::DirectSaveAgain;
      awaitDeadline = Clock::now() + kExchangeDeadline;
      return;
    }
    Finish(data && *data == "S");
  } else {
    Observe([&](Observation& o) { o.uriList = data.value_or(QByteArray()); });
    Finish(data && !data->isEmpty());
  }
}

bool XdsFileManagerPeer::State::TakeDragRequest() {
  std::lock_guard lock(mutex);
  if (!pendingDrag || drag) return false;
  drag = pendingDrag;
  pendingDrag.reset();
  answeredAtPress = observed.positions;
  return true;
}

// The whole way is moved at once: Qt takes up the drag from whichever motion
// it sees first, and the release waits until the peer has answered a
// position, so the source knows the drop is wanted (or not) before it ends.
bool XdsFileManagerPeer::State::AdvanceDrag() {
  if (!drag) return false;
  using Kind = DragRequest::Kind;
  if (drag->kind != Kind::Drag) {
    if (drag->kind == Kind::Press) {
      FakeInput(XCB_MOTION_NOTIFY, 0, drag->from);
      Sync();
      FakeInput(XCB_BUTTON_PRESS, 1);
      Sync();
    }
    // Move flushes every step on its own; Press moves once, to the nudge.
    const int steps = drag->kind == Kind::Move ? drag->steps : drag->kind == Kind::Press ? 1 : 0;
    const QPoint from = drag->kind == Kind::Press ? drag->to : drag->from;
    for (int i = 1; i <= steps; ++i) {
      FakeInput(XCB_MOTION_NOTIFY, 0, from + (drag->to - from) * i / steps);
      Sync();
    }
    if (drag->kind == Kind::Release) {
      FakeInput(XCB_BUTTON_RELEASE, 1);
      Sync();
      Observe([](Observation& o) { o.pointerReleased = true; });
    }
    if (drag->kind != Kind::Move) held = drag->kind == Kind::Press;
    drag.reset();
    return true;
  }
  if (drag->steps > 0) {
    if (!held) {
      FakeInput(XCB_MOTION_NOTIFY, 0, drag->from);
      Sync();
      FakeInput(XCB_BUTTON_PRESS, 1);
    }
    held = false;
    for (int i = 1; i <= drag->steps; ++i)
      FakeInput(XCB_MOTION_NOTIFY, 0, drag->from + (drag->to - drag->from) * i / drag->steps);
    Sync();
    drag->steps = 0;
    releaseDeadline = drag->waitForPeer ? Clock::now() + kExchangeDeadline : Clock::now();
    return true;
  }
  bool answered = false;
  {
    std::lock_guard lock(mutex);
    answered = observed.positions > answeredAtPress;
  }
  const bool late = Clock::now() >= releaseDeadline;
  if (!answered && !late) return false;
  if (!answered && drag->waitForPeer) Problem(QStringLiteral("the drag never reached the peer window"));
  FakeInput(XCB_BUTTON_RELEASE, 1);
  Sync();
  drag.reset();
  Observe([](Observation& o) { o.pointerReleased = true; });
  return true;
}

bool XdsFileManagerPeer::State::CheckDeadlines() {
  if (awaiting == Await::Nothing || Clock::now() < awaitDeadline) return false;
  Problem(QStringLiteral("the source never answered the data request"));
  Finish(false);
  return true;
}

int XdsFileManagerPeer::State::PollTimeoutMs() const {
  std::optional<Clock::time_point> next;
  if (drag && drag->steps == 0) next = releaseDeadline;
  if (awaiting != Await::Nothing && (!next || awaitDeadline < *next)) next = awaitDeadline;
  if (!next) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

void XdsFileManagerPeer::State::Run() {
  const bool ok = Setup();
  {
    std::lock_guard lock(mutex);
    started = true;
    isReady = ok;
  }
  readyChanged.notify_all();
  if (!ok) {
    if (c) xcb_disconnect(c);
    return;
  }

  while (!stop) {
    bool progressed = true;
    while (progressed && !stop) {
      progressed = TakeDragRequest();
      progressed = AdvanceDrag() || progressed;
      progressed = CheckDeadlines() || progressed;
      while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        progressed = true;
        switch (event->response_type & 0x7f) {
          case XCB_CLIENT_MESSAGE:
            HandleClientMessage(*reinterpret_cast<xcb_client_message_event_t*>(event));
            break;
          case XCB_SELECTION_NOTIFY:
            HandleSelectionNotify(*reinterpret_cast<xcb_selection_notify_event_t*>(event));
            break;
          default: break;
        }
        std::free(event);
      }
    }
    xcb_flush(c);
    if (xcb_connection_has_error(c)) {
      Problem(QStringLiteral("the X connection broke"));
      break;
    }
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    poll(fds, 2, PollTimeoutMs());
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wakeFd, &count, sizeof count);
    }
  }

  // Never leave the server with the button held down for the next test.
  if (((drag && drag->steps == 0) || held) && !xcb_connection_has_error(c)) {
    FakeInput(XCB_BUTTON_RELEASE, 1);
    Sync();
  }
  xcb_disconnect(c);
}

XdsFileManagerPeer::XdsFileManagerPeer(Mode mode, fs::path folder, Options options, QRect geometry)
    : m_state(new State) {
  m_state->mode = mode;
  m_state->folder = std::move(folder);
  m_state->options = std::move(options);
  m_state->geometry = geometry;
  m_state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  State* state = m_state.get();
  m_state->thread = std::thread([state] { state->Run(); });
  std::unique_lock lock(m_state->mutex);
  m_state->readyChanged.wait(lock, [state] { return state->started; });
}

XdsFileManagerPeer::~XdsFileManagerPeer() {
  m_state->stop = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(m_state->wakeFd, &one, sizeof one);
  m_state->thread.join();
  close(m_state->wakeFd);
}

bool XdsFileManagerPeer::ready() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->isReady;
}

QRect XdsFileManagerPeer::geometry() const { return m_state->geometry; }

QPoint XdsFileManagerPeer::center() const { return m_state->geometry.center(); }

void XdsFileManagerPeer::State::Ask(const DragRequest& request) {
  {
    std::lock_guard lock(mutex);
    pendingDrag = request;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd, &one, sizeof one);
}

void XdsFileManagerPeer::pressPointer(QPoint at, QPoint nudge) {
  m_state->Ask({State::DragRequest::Kind::Press, at, nudge});
}

void XdsFileManagerPeer::movePointer(QPoint from, QPoint to, int steps) {
  m_state->Ask({State::DragRequest::Kind::Move, from, to, std::max(steps, 1)});
}

void XdsFileManagerPeer::releasePointer() { m_state->Ask({State::DragRequest::Kind::Release, {}, {}}); }

void XdsFileManagerPeer::dragPointer(QPoint from, QPoint to, int steps, bool waitForPeer) {
  m_state->Ask({State::DragRequest::Kind::Drag, from, to, std::max(steps, 1), waitForPeer});
}

XdsFileManagerPeer::Observation XdsFileManagerPeer::observation() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->observed;
}

QByteArray XdsFileManagerPeer::FileUri(const QByteArray& host, const fs::path& path) {
  return QByteArrayLiteral("file://") + host + QByteArray::fromStdString(path.native()).toPercentEncoding("/");
}
