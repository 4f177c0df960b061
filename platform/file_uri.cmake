# File URIs and text/uri-lists read byte for byte, for drops and drags.
quillpress_library(qp_file_uri SOURCES FileUri.h FileUri.cpp DEPS Qt6::Core)
