quillpress_library(qp_bookmark SOURCES Bookmark.h Bookmark.cpp)
