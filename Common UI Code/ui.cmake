# Widget components of the window: the busy overlay, the centred cell, the
# validated toolbar, the folder drop box and the PDF settings pop-up.
quillpress_library(qp_common_ui UI
  SOURCES
    ProgressHUDView.h ProgressHUDView.cpp
    VerticallyCenteredTextFieldCell.h VerticallyCenteredTextFieldCell.cpp
    BMTValidatedViewToolbar.h BMTValidatedViewToolbar.cpp
    BMTValidatedViewToolbarItem.h BMTValidatedViewToolbarItem.cpp
    DragAndDropCommonFolderController.h DragAndDropCommonFolderController.cpp
    PdfPresetPopUp.h PdfPresetPopUp.cpp
  DEPS qp_common qp_file_uri qp_conversion qp_platform)
