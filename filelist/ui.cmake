# The thread-safe list that the window fills, and the table model over it.
target_sources(qp_filelist PRIVATE FileList.h FileList.cpp DropRequest.h)
quillpress_library(qp_filelist_ui UI
  SOURCES FileListTableModel.h FileListTableModel.cpp AddingQueue.h AddingQueue.cpp
    ItemStatusBoard.h ItemStatusBoard.cpp
  DEPS qp_filelist qp_platform qp_file_uri)
