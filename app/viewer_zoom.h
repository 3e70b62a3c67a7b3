// The viewer's zoom: actual size by default, fit to the view, or a step of a fixed scale.
// Plain arithmetic; the viewer widget applies it.
#pragma once

#include <cstdint>
#include <string>

class TViewerZoom {
public:
    // The largest factor that shows a whole w x h picture in a view of viewW x viewH, never
    // above 1: fitting shrinks a large picture and leaves a small one at its own size.
    static double FitFactor(int64_t w, int64_t h, int64_t viewW, int64_t viewH);
    // The next step of the scale above or below a factor (1/32 ... 1/2, 2/3, 1, 1.5, 2 ... 16);
    // at either end the factor stays.
    static double StepIn(double factor);
    static double StepOut(double factor);
    // A side of the picture as shown: rounded, at least one pixel for a non-empty side.
    static int32_t Scaled(int32_t length, double factor);
    // The scroll position after a change of factor that keeps the picture's point under
    // `at` (a view coordinate: the mouse, or the view's centre) where it is.
    static double ScrollKeeping(double scroll, double at, double oldFactor, double newFactor);

    double Factor() const { return FFactor; }
    bool Fit() const { return FFit; }

    // Fit mode follows the view: call again whenever the picture or the view changes size.
    void FitTo(int64_t w, int64_t h, int64_t viewW, int64_t viewH);
    void ZoomIn();
    void ZoomOut();
    void ActualSize();

    // "Zoom: 100%", "Zoom: 20% (fit)", "Zoom: 33.3%".
    std::string StatusText() const;

private:
    double FFactor = 1;
    bool FFit = false;
};
