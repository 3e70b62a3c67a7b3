// Thumbnails: a file read through the texture library or the picture container, brought into
// bitmap form and fitted into the thumbnail box.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "bitmap.h"
#include "browser_list.h"

// Fits source into a boxWidth x boxHeight box: an image that fits is copied unchanged (size
// and pixel format); a larger one is scaled down, keeping its aspect, to 24 bits per pixel
// by a nearest-neighbour stretch.
void FitThumbnail(const TBitmap& source, TBitmap& target, int32_t boxWidth = 100, int32_t boxHeight = 100);
// The size of the thumbnail of a width x height image: its own when it fits the box, else the
// box's width or height with the other side in proportion.
std::pair<int32_t, int32_t> ThumbnailSize(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight);
// As FitThumbnail for an image of fullWidth x fullHeight that source shows smaller: the
// thumbnail has the size the full image would give.
void FitThumbnailFrom(const TBitmap& source, int32_t fullWidth, int32_t fullHeight, TBitmap& target,
                      int32_t boxWidth, int32_t boxHeight);

struct TThumbnailContext {
    int32_t BoxWidth = 100;
    int32_t BoxHeight = 100;
    int32_t* LoadedCount = nullptr;  // increased for every thumbnail made
    // Run after a failure, so that a folder of broken files keeps the window responsive.
    // The entry may be gone when it returns; MakeThumbnail does not touch it afterwards.
    std::function<void()> ProcessMessages;
    // Told why a thumbnail could not be made (the command-line probe reports it).
    std::function<void(const std::string& message)> OnFailure;
};

// The thumbnail of a file, as MakeThumbnail makes it; raises what the loading raises. Any thread
// may call it: each call uses objects of its own, and the texture library is taken in turn.
std::unique_ptr<TBitmap> CreateThumbnail(const std::string& fullPath, int32_t boxWidth = 100, int32_t boxHeight = 100);

// Creates entry.Thumbnail and sets Loaded. Never raises: on any failure the entry stays
// without thumbnail and unloaded, so the next paint tries again, and LoadError holds the
// message (the grid shows it on the cell).
void MakeThumbnail(TFileEntry& entry, const TThumbnailContext& context);
