# Widget components of the window: the busy overlay, the centred cell and the
# validated toolbar.
quillpress_library(qp_common_ui UI
  SOURCES
    ProgressHUDView.h ProgressHUDView.cpp
    VerticallyCenteredTextFieldCell.h VerticallyCenteredTextFieldCell.cpp
    BMTValidatedViewToolbar.h BMTValidatedViewToolbar.cpp
    BMTValidatedViewToolbarItem.h BMTValidatedViewToolbarItem.cpp
  DEPS qp_common)
