# The validated numeric entry fields: their rules and scanners without
# widgets, and the line edit and combo box classes.
quillpress_library(qp_common_numeric
  SOURCES
    NumberScanners.h NumberScanners.cpp
    NumericFieldRules.h NumericFieldRules.cpp)

quillpress_library(qp_common_numeric_ui UI
  SOURCES NumericTextFields.h NumericTextFields.cpp
  DEPS qp_common_numeric)
