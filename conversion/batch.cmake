# The batch driver: items converted several at once on threads of their own,
# one batch at a time.
quillpress_library(qp_batch
  SOURCES BatchExport.h BatchExport.cpp
  DEPS qp_conversion)

# The progress sheet shown while a batch runs.
quillpress_library(qp_conversion_ui UI
  SOURCES ExportProgressSheet.h ExportProgressSheet.cpp ExportProgressSheet.ui
    PdfPresetPopUp.h PdfPresetPopUp.cpp
  DEPS qp_batch qp_platform)
# The .ui file names string table keys, looked up with qtTrId.
set_target_properties(qp_conversion_ui PROPERTIES AUTOUIC_OPTIONS "--idbased")
