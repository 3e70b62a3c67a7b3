#include "metafile.h"

#include "exceptions.h"

const TGraphicClass TMetafile::Class = {"TMetafile", [] { return std::unique_ptr<TGraphic>(new TMetafile); }};

// Reading and replaying metafiles is not part of the program yet.
void TMetafile::LoadFromStream(TStream&) { throw EInvalidGraphic("Metafile reading is not supported yet"); }

void TMetafile::Draw(TBitmap&, int32_t, int32_t) const {}
