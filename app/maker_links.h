// The project's web page and feedback address, opened from the Help menu.
#pragma once

#include <optional>
#include <string>

inline constexpr const char* MakerWebAddress = "https://pictolan.example.org/";
inline constexpr const char* MakerMailAddress = "feedback@pictolan.example.org";

// Tag 0: the project page; tag 1: a feedback mail; anything else: nothing.
inline std::optional<std::string> MakerLinkFor(int tag) {
    if (tag == 0) return std::string(MakerWebAddress) + "?content=projects&id=pictolan";
    if (tag == 1) return "mailto:" + std::string(MakerMailAddress) + "?subject=Pictolan";
    return std::nullopt;
}
