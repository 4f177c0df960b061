#include "PdfPresetPopUp.h"

#include "conversion/PdfPreset.h"
#include "platform/LocalizedString.h"

#include <QComboBox>

namespace {

struct PresetKeys {
  const char* title;
  const char* toolTip;
};

PresetKeys KeysOf(PdfPreset preset) {
  switch (preset) {
    case PdfPreset::Faithful: return {"PdfPresetFaithfulTitle", "PdfPresetFaithfulToolTip"};
    case PdfPreset::Smallest: return {"PdfPresetSmallestTitle", "PdfPresetSmallestToolTip"};
    case PdfPreset::Print: return {"PdfPresetPrintTitle", "PdfPresetPrintToolTip"};
    case PdfPreset::PdfX3: return {"PdfPresetPdfX3Title", "PdfPresetPdfX3ToolTip"};
    case PdfPreset::PdfA2b: return {"PdfPresetPdfA2bTitle", "PdfPresetPdfA2bToolTip"};
  }
  return {"", ""};
}

}  // namespace

void FillPdfPresetPopUp(QComboBox* popUp) {
  for (const PdfPreset preset : kAllPdfPresets) {
    const std::string_view name = PdfPresetName(preset);
    const PresetKeys keys = KeysOf(preset);
    popUp->addItem(LocalizedString(keys.title),
                   QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    popUp->setItemData(popUp->count() - 1, LocalizedString(keys.toolTip), Qt::ToolTipRole);
  }
}
