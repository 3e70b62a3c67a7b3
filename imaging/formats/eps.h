// Encapsulated PostScript files shown by their TIFF preview. The PostScript itself is not
// interpreted: a file needs the binary header that points to a TIFF preview, which the TIFF
// reader then loads with all offsets counted from the preview's start.
#pragma once

#include <string>

#include "formats/tiff.h"

class TEPSGraphic : public TTIFFGraphic {
    DECLARE_GRAPHIC_CLASS()
public:
    // True when more than the 30 header bytes remain, they carry the binary header's
    // signature, a preview length above 0 and a preview offset beyond the header. The
    // position is kept.
    static bool CanReadStream(TStream& stream);
    static bool CanReadFile(const std::string& fileName);

    // Reads the header at the stream's position (a short stream raises "Stream read error"),
    // refuses a file without its signature, and loads the TIFF preview found at the header's
    // position plus the preview offset. Errors in the preview are the TIFF reader's.
    void LoadFromStream(TStream& stream) override;
};
