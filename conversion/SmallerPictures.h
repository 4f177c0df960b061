#pragma once

#include <qpdf/QPDF.hh>

// The smallest file's pictures: each that came without loss made smaller
// where that makes its stream smaller (fewer pixels where the pages draw it
// above 150 pixels per inch, JPEG where JPEG holds it), never larger.
void StorePicturesSmaller(QPDF& pdf);
