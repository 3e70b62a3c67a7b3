#include "icon.h"

#include "exceptions.h"

const TGraphicClass TIcon::Class = {"TIcon", [] { return std::unique_ptr<TGraphic>(new TIcon); }};

void TIcon::LoadFromStream(TStream&) { throw EInvalidGraphic("Icon image is not valid"); }

void TIcon::Draw(TBitmap& target, int32_t x, int32_t y) const { FImage.Draw(target, x, y); }
