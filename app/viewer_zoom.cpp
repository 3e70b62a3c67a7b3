#include "viewer_zoom.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

constexpr double Steps[] = {1.0 / 32, 1.0 / 24, 1.0 / 16, 1.0 / 12, 1.0 / 8, 1.0 / 6, 1.0 / 4, 1.0 / 3, 1.0 / 2,
                            2.0 / 3, 1, 1.5, 2, 3, 4, 6, 8, 12, 16};
// Factors this close count as equal, so that 0.1999999 steps in to 1/4 and not to 1/5.
constexpr double Tolerance = 1e-6;

}  // namespace

double TViewerZoom::FitFactor(int64_t w, int64_t h, int64_t viewW, int64_t viewH) {
    if (w <= 0 || h <= 0 || viewW <= 0 || viewH <= 0) return 1;
    const double f = std::min(static_cast<double>(viewW) / static_cast<double>(w),
                              static_cast<double>(viewH) / static_cast<double>(h));
    return std::min(f, 1.0);
}

double TViewerZoom::StepIn(double factor) {
    for (double s : Steps)
        if (s > factor * (1 + Tolerance)) return s;
    return factor;
}

double TViewerZoom::StepOut(double factor) {
    for (auto it = std::rbegin(Steps); it != std::rend(Steps); ++it)
        if (*it < factor * (1 - Tolerance)) return *it;
    return factor;
}

int32_t TViewerZoom::Scaled(int32_t length, double factor) {
    if (length <= 0) return 0;
    return std::max<int32_t>(1, static_cast<int32_t>(std::lround(length * factor)));
}

double TViewerZoom::ScrollKeeping(double scroll, double at, double oldFactor, double newFactor) {
    return (scroll + at) / oldFactor * newFactor - at;
}

void TViewerZoom::FitTo(int64_t w, int64_t h, int64_t viewW, int64_t viewH) {
    FFit = true;
    FFactor = FitFactor(w, h, viewW, viewH);
}

void TViewerZoom::ZoomIn() {
    FFit = false;
    FFactor = StepIn(FFactor);
}

void TViewerZoom::ZoomOut() {
    FFit = false;
    FFactor = StepOut(FFactor);
}

void TViewerZoom::ActualSize() {
    FFit = false;
    FFactor = 1;
}

std::string TViewerZoom::StatusText() const {
    char percent[32];
    const double p = std::round(FFactor * 1000) / 10;  // one decimal where it has one
    if (p == std::floor(p))
        std::snprintf(percent, sizeof percent, "%.0f%%", p);
    else
        std::snprintf(percent, sizeof percent, "%.1f%%", p);
    return std::string("Zoom: ") + percent + (FFit ? " (fit)" : "");
}
