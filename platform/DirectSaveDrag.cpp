#include "platform/DirectSaveDrag.h"

#include "platform/FileUri.h"

#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>

#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

const QByteArray kSuccess = QByteArrayLiteral("S");
const QByteArray kFailure = QByteArrayLiteral("F");
const QByteArray kError = QByteArrayLiteral("E");

// The newest drag data to put its name on the source window; only it takes
// the name away again, so an older one dying late leaves a newer drag alone.
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

}  // namespace

DirectSaveMimeData::DirectSaveMimeData(QString promisedFileName, Fulfil fulfil)
    : m_name(promisedFileName.toUtf8()), m_fulfil(std::move(fulfil)) {
  Begin();
}

DirectSaveMimeData::DirectSaveMimeData(const fs::path& promisedFileName, Fulfil fulfil)
    : m_name(QByteArray::fromStdString(promisedFileName.native())), m_fulfil(std::move(fulfil)) {
  Begin();
}

void DirectSaveMimeData::Begin() {
  // Qt's drag reuses one source window, so from the second drag on it is
  // known already; on the first the selection is ours only once the drag's
  // event loop runs.
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

namespace {

// The target waits for its answer while it asks, so the answer is given
// now; but a folder on a mount that does not answer must not hold the
// window. The look is made on a thread of its own, which may outlive the
// wait: a folder that cannot be seen in time is no folder.
bool IsFolderWithin(const fs::path& folder) {
  constexpr auto kLongestLook = std::chrono::milliseconds(300);
  struct Look {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<bool> isFolder;
  };
  auto look = std::make_shared<Look>();
  std::thread([look, folder] {
    std::error_code error;
    const bool isFolder = fs::is_directory(folder, error);
    {
      std::lock_guard lock(look->mutex);
      look->isFolder = isFolder;
    }
    look->done.notify_all();
  }).detach();
  std::unique_lock lock(look->mutex);
  look->done.wait_for(lock, kLongestLook, [&] { return look->isFolder.has_value(); });
  return look->isFolder.value_or(false);
}

}  // namespace

QStringList DirectSaveMimeData::formats() const { return {kFormat}; }

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
}

QVariant DirectSaveMimeData::retrieveData(const QString& mimeType, QMetaType type) const {
  if (mimeType != kFormat) return QMimeData::retrieveData(mimeType, type);
  if (!X11Connection()) return {};
  return Answer();
}

QByteArray DirectSaveMimeData::Answer() const {
  // A target that asks twice must not start the work twice.
  if (!m_settledAnswer.isEmpty()) return m_settledAnswer;
  xcb_connection_t* c = X11Connection();
  if (m_window == XCB_WINDOW_NONE || xcb_connection_has_error(c)) return kError;

  const xcb_atom_t property = Atom(c, "XdndDirectSave0");
  // Far more than any path; a longer property is not a path either.
  constexpr std::uint32_t kMaxLongs = 64 * 1024;
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c, xcb_get_property(c, 0, m_window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxLongs), nullptr));
  if (!reply || reply->format != 8 || reply->bytes_after != 0) return kError;
  const QByteArrayView uri(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));

  const std::optional<fs::path> path = LocalPathFromFileUri(uri, LocalHostName());
  if (!path) return kError;
  const fs::path folder = path->parent_path();
  m_settledAnswer = IsFolderWithin(folder) && m_fulfil && m_fulfil(folder) ? kSuccess : kFailure;
  return m_settledAnswer;
}
