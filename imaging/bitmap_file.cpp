// Reading and writing Windows bitmap files.
#include "bitmap.h"
#include "exceptions.h"
#include "streams.h"

void TBitmap::LoadFromStream(TStream&) { throw EInvalidGraphic("Bitmap image is not valid"); }
void TBitmap::SaveToStream(TStream&) { throw EInvalidGraphic("Bitmap image is not valid"); }
