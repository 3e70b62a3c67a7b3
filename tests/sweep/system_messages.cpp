#include "system_messages.h"

#include <cstdio>
#include <regex>
#include <vector>

#include <jpeglib.h>

#include "color_manager.h"
#include "dib_reader.h"
#include "exceptions.h"
#include "image_graphic.h"
#include "jpeg_image.h"
#include "metafile.h"
#include "vtf_helper.h"

namespace sweep {

namespace {

// A printf-style text as a pattern matching every formatting of it.
std::regex PatternOf(const std::string& text) {
    static const std::regex conversion(R"(%[-+ #0]*[0-9]*(\.[0-9]+)?(hh|h|ll|l|z|j|t)?[diouxXeEfgGcsp])");
    std::string pattern;
    size_t at = 0;
    auto literal = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            const char c = text[i];
            if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
            pattern += c;
        }
    };
    for (std::sregex_iterator it(text.begin(), text.end(), conversion), end; it != end; ++it) {
        literal(at, static_cast<size_t>(it->position()));
        pattern += R"([\s\S]*)";
        at = static_cast<size_t>(it->position() + it->length());
    }
    literal(at, text.size());
    // "%%" stands for a single percent sign.
    for (size_t p; (p = pattern.find("%%")) != std::string::npos;) pattern.erase(p, 1);
    return std::regex(pattern, std::regex::ECMAScript);
}

std::vector<std::string> Texts() {
    std::vector<std::string> texts = {
        // Streams and bitmaps.
        SReadError, SFOpenError, SInvalidPixelFormat, SUnknownExtension, SImageTooLarge, SInvalidImageSize,
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
    static const std::vector<std::regex> patterns = [] {
        std::vector<std::regex> all;
        for (const std::string& text : Texts()) all.push_back(PatternOf(text));
        return all;
    }();
    for (const std::regex& pattern : patterns)
        if (std::regex_match(message, pattern)) return true;
    return false;
}

}  // namespace sweep
