#include "platform/DirectSaveDrag.h"

#include "platform/BackgroundWork.h"
#include "platform/FileUri.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const QByteArray kSuccess = QByteArrayLiteral("S");
const QByteArray kFailure = QByteArrayLiteral("F");
const QByteArray kError = QByteArrayLiteral("E");

// Longer than any folder takes on a mount that answers.
constexpr auto kLongestLook = std::chrono::seconds(5);

// The newest drag data to put its name on the source window; only it takes
// the name away again, and only it answers the target, so an older one dying
// late leaves a newer drag alone.
const DirectSaveMimeData* g_nameOwner = nullptr;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* X11Connection() {
#if QT_CONFIG(xcb)
  if (!qGuiApp) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
#else
  return nullptr;
#endif
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  const auto length = static_cast<std::uint16_t>(std::char_traits<char>::length(name));
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, length, name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// Windows this connection made carry its resource id base.
bool IsOurs(xcb_connection_t* c, xcb_window_t window) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  return window != XCB_WINDOW_NONE && (window & ~setup->resource_id_mask) == setup->resource_id_base;
}

// Qt's drag owns XdndSelection through a window of our connection while it runs.
xcb_window_t OurDragSourceWindow(xcb_connection_t* c) {
  const xcb_atom_t selection = Atom(c, "XdndSelection");
  if (selection == XCB_ATOM_NONE) return XCB_WINDOW_NONE;
  Reply<xcb_get_selection_owner_reply_t> reply(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
  if (!reply || !IsOurs(c, reply->owner)) return XCB_WINDOW_NONE;
  return reply->owner;
}

// The folder of the file the target named on the source window, or nothing
// when it named no file on this machine.
std::optional<fs::path> NamedFolder(xcb_connection_t* c, xcb_window_t window) {
  // Far more than any path; a longer property is not a path either.
  constexpr std::uint32_t kMaxLongs = 64 * 1024;
  Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c,
                             xcb_get_property(c, 0, window, Atom(c, "XdndDirectSave0"),
                                              XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxLongs),
                             nullptr));
  if (!reply || reply->format != 8 || reply->bytes_after != 0) return std::nullopt;
  const QByteArrayView uri(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));
  const std::optional<fs::path> path = LocalPathFromFileUri(uri, LocalHostName());
  if (!path) return std::nullopt;
  return path->parent_path();
}

}  // namespace

DirectSaveMimeData::DirectSaveMimeData(const fs::path& promisedFileName, Fulfil fulfil,
                                       std::shared_ptr<BackgroundTasks> looks)
    : m_name(QByteArray::fromStdString(promisedFileName.native())),
      m_fulfil(std::move(fulfil)),
      m_looks(std::move(looks)) {
  m_lookDeadline.setSingleShot(true);
  m_lookDeadline.setInterval(kLongestLook);
  connect(&m_lookDeadline, &QTimer::timeout, this, [this] { Settle(kFailure); });
  // Qt's drag reuses one source window, so from the second drag on it is
  // known already; on the first the selection is ours only once the drag's
  // event loop runs (a deferral on the main thread).
  OfferName();
  QTimer::singleShot(0, this, &DirectSaveMimeData::OfferName);
}

DirectSaveMimeData::~DirectSaveMimeData() {
  if (g_nameOwner != this) return;
  g_nameOwner = nullptr;
  xcb_connection_t* c = X11Connection();
  if (!c || m_window == XCB_WINDOW_NONE || xcb_connection_has_error(c)) return;
  xcb_delete_property(c, m_window, Atom(c, "XdndDirectSave0"));
  xcb_flush(c);
}

QStringList DirectSaveMimeData::formats() const { return {kFormat}; }

// The answer is given by the event filter, never from here: a request that
// reaches this point came before the name was offered.
QVariant DirectSaveMimeData::retrieveData(const QString& mimeType, QMetaType type) const {
  if (mimeType != kFormat) return QMimeData::retrieveData(mimeType, type);
  return {};
}

void DirectSaveMimeData::OfferName() {
  if (m_window != XCB_WINDOW_NONE) return;
  xcb_connection_t* c = X11Connection();
  if (!c || xcb_connection_has_error(c)) return;
  const xcb_window_t window = OurDragSourceWindow(c);
  if (window == XCB_WINDOW_NONE) return;
  const xcb_atom_t property = Atom(c, "XdndDirectSave0");
  const xcb_atom_t textPlain = Atom(c, "text/plain");
  if (property == XCB_ATOM_NONE || textPlain == XCB_ATOM_NONE) return;
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, textPlain, 8,
                      static_cast<std::uint32_t>(m_name.size()), m_name.constData());
  xcb_flush(c);
  m_window = window;
  g_nameOwner = this;
  QCoreApplication::instance()->installNativeEventFilter(this);
}

bool DirectSaveMimeData::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || g_nameOwner != this) return false;
  auto* event = static_cast<xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST) return false;
  const auto* request = static_cast<xcb_selection_request_event_t*>(message);
  xcb_connection_t* c = X11Connection();
  if (!c || request->owner != m_window || request->selection != Atom(c, "XdndSelection") ||
      request->target != Atom(c, "XdndDirectSave0"))
    return false;
  Take(Request{request->requestor, request->property, request->target, request->time});
  return true;
}

void DirectSaveMimeData::Take(const Request& request) {
  // A target that asks twice must not start the work twice.
  if (!m_settledAnswer.isEmpty()) {
    Answer(request, m_settledAnswer);
    return;
  }
  if (!m_waiting.empty()) {
    m_waiting.push_back(request);
    return;
  }
  xcb_connection_t* c = X11Connection();
  const std::optional<fs::path> folder = NamedFolder(c, m_window);
  if (!folder || !m_looks) {
    Answer(request, kError);
    return;
  }
  m_waiting.push_back(request);
  m_lookDeadline.start();
  QPointer<DirectSaveMimeData> self(this);
  m_looks->Run(
      [folder = *folder](std::stop_token) {
        std::error_code error;
        return fs::is_directory(folder, error);
      },
      [self, folder = *folder](bool isFolder) {
        if (!self || !self->m_settledAnswer.isEmpty()) return;
        self->m_lookDeadline.stop();
        const bool kept = isFolder && self->m_fulfil && self->m_fulfil(folder);
        // fulfil may have ended the drag, and with it this data.
        if (self) self->Settle(kept ? kSuccess : kFailure);
      });
}

void DirectSaveMimeData::Settle(const QByteArray& answer) {
  if (!m_settledAnswer.isEmpty()) return;
  m_settledAnswer = answer;
  const std::vector<Request> waiting = std::exchange(m_waiting, {});
  for (const Request& request : waiting) Answer(request, answer);
}

void DirectSaveMimeData::Answer(const Request& request, const QByteArray& answer) const {
  xcb_connection_t* c = X11Connection();
  if (!c || xcb_connection_has_error(c)) return;
  // Old clients name no property: the target stands for it.
  const xcb_atom_t property = request.property != XCB_ATOM_NONE ? request.property : request.target;
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_STRING, 8,
                      static_cast<std::uint32_t>(answer.size()), answer.constData());
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = Atom(c, "XdndSelection");
  notify.target = request.target;
  notify.property = property;
  xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
  xcb_flush(c);
}
