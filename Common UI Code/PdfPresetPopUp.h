#pragma once

class QComboBox;

// Fills a PDF settings pop-up with every preset in order: its short name,
// its description as the item's tooltip, and the preset's name
// (PdfPresetName) as the item's data.
void FillPdfPresetPopUp(QComboBox* popUp);
