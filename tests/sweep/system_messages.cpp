#include "system_messages.h"

#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "color_manager.h"
#include "formats/dib_reader.h"
#include "exceptions.h"
#include "image_graphic.h"
#include "formats/jpeg_image.h"
#include "metafile/metafile.h"
#include "vtf_helper.h"

namespace sweep {

namespace {

// A printf-style text as the literal pieces between its conversions: a formatting of it is
// those pieces in order with anything between them.
struct TPattern {
    std::vector<std::string> Pieces;

    explicit TPattern(const std::string& text) {
        Pieces.emplace_back();
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '%') {
                Pieces.back() += text[i];
            } else if (i + 1 < text.size() && text[i + 1] == '%') {
                Pieces.back() += '%';
                ++i;
            } else {
                // Flags, width, precision and length, up to the conversion letter.
                ++i;
                while (i < text.size() && std::strchr("-+ #0123456789.hlzjt", text[i]) != nullptr) ++i;
                Pieces.emplace_back();
            }
        }
    }

    // The first piece starts the message, the last ends it, the others follow in between in
    // order; taking each at its first place leaves the most room for the rest.
    bool Matches(const std::string& message) const {
        if (Pieces.size() == 1) return message == Pieces.front();
        const std::string& first = Pieces.front();
        const std::string& last = Pieces.back();
        if (message.compare(0, first.size(), first) != 0) return false;
        size_t at = first.size();
        for (size_t k = 1; k + 1 < Pieces.size(); ++k) {
            at = message.find(Pieces[k], at);
            if (at == std::string::npos) return false;
            at += Pieces[k].size();
        }
        return message.size() >= at + last.size() && message.compare(message.size() - last.size(), last.size(), last) == 0;
    }
};

std::vector<std::string> Texts() {
    std::vector<std::string> texts = {
        // Streams and bitmaps.
        SReadError, SFOpenError, SInvalidPixelFormat, SUnknownExtension, SImageTooLarge, SInvalidImageSize,
        SInvalidInteger,
        // The readers' common texts.
        gesInvalidImage, gesInvalidColorFormat, gesStreamReadError, gesInvalidCRC, gesDecompression,
        gesExtraCompressedData, gesInvalidPalette, gesUnknownCriticalChunk, gesLZ77Error, gesUnsupportedFeature,
        // The colour manager.
        gesIndexedNotSupported, gesConversionUnsupported, gesInvalidSampleDepth, gesInvalidPixelScheme,
        gesInvalidSubSampling, gesVerticalSubSamplingError,
        // The graphic classes' own texts.
        SInvalidBitmap, SInvalidIcon, SInvalidMetafile, SJpegBadSize, SJpegTooManyScans,
        // Textures.
        STextureUnreadable,
    };
    jpeg_error_mgr jpeg;
    jpeg_std_error(&jpeg);
    for (int code = 1; code <= jpeg.last_jpeg_message; ++code)
        if (jpeg.jpeg_message_table[code] != nullptr) texts.push_back(jpeg.jpeg_message_table[code]);
    return texts;
}

}  // namespace

bool IsSystemMessage(const std::string& message) {
    static const std::vector<TPattern> patterns = [] {
        std::vector<TPattern> all;
        for (const std::string& text : Texts()) all.emplace_back(text);
        return all;
    }();
    for (const TPattern& pattern : patterns)
        if (pattern.Matches(message)) return true;
    return false;
}

}  // namespace sweep
