# Promised names are plain C++ so the file list can compute them; the drag
# source speaks X Direct Save on the application's own xcb connection.
quillpress_library(qp_promised_file_name SOURCES PromisedFileName.h PromisedFileName.cpp DEPS qp_common)

pkg_check_modules(QP_XCB REQUIRED IMPORTED_TARGET GLOBAL xcb)
quillpress_library(qp_direct_save
  SOURCES DirectSaveDrag.h DirectSaveDrag.cpp
  DEPS qp_promised_file_name qp_file_uri qp_platform Qt6::Gui PkgConfig::QP_XCB)
