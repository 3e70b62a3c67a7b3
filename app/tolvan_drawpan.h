// An owner-drawn panel: it draws nothing itself and leaves every pixel to its OnPaint handler,
// which draws through Canvas(). Mouse, keyboard and resize notifications are handed on the same
// way. Handlers run guarded: an error they raise goes to the error box.
#pragma once

#include <QWidget>

#include <functional>

class QPainter;

class TTolvanDrawPanel : public QWidget {
public:
    explicit TTolvanDrawPanel(QWidget* parent = nullptr);

    // The painter of the paint in progress; null outside OnPaint.
    QPainter* Canvas() const { return FCanvas; }

    std::function<void(TTolvanDrawPanel* sender)> OnPaint;
    std::function<void(QMouseEvent* event)> OnMouseDown;
    std::function<void(QMouseEvent* event)> OnDblClick;
    std::function<void()> OnResize;
    std::function<void(QWheelEvent* event)> OnWheel;
    std::function<bool(QKeyEvent* event)> OnKeyDown;  // true when handled
    std::function<void(const QPoint& globalPos)> OnContextPopup;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QPainter* FCanvas = nullptr;
};
