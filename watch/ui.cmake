# The watch folder's settings sheet and the controller that runs it.
quillpress_library(qp_watch_ui UI
  SOURCES
    WatchFolderController.h WatchFolderController.cpp
    DesktopNotification.h DesktopNotification.cpp
    WatchFolderSheet.ui
  DEPS qp_watch qp_common_ui qp_platform Qt6::DBus)
# The .ui file names string table keys, looked up with qtTrId.
set_target_properties(qp_watch_ui PROPERTIES AUTOUIC_OPTIONS "--idbased")
