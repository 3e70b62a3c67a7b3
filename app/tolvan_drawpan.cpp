#include "tolvan_drawpan.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include "pictolan_application.h"

TTolvanDrawPanel::TTolvanDrawPanel(QWidget* parent) : QWidget(parent) {
    // The handler covers every pixel, background last, so Qt need not erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::StrongFocus);
}

void TTolvanDrawPanel::paintEvent(QPaintEvent*) {
    if (!OnPaint) return;
    QPainter painter(this);
    FCanvas = &painter;
    try {
        OnPaint(this);
    } catch (const std::exception& e) {
        ShowErrorBox(e.what());
    }
    FCanvas = nullptr;
}

void TTolvanDrawPanel::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    if (OnMouseDown) Guarded([&] { OnMouseDown(event); });
}

void TTolvanDrawPanel::mouseDoubleClickEvent(QMouseEvent* event) {
    if (OnDblClick) Guarded([&] { OnDblClick(event); });
}

void TTolvanDrawPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (OnResize) Guarded([&] { OnResize(); });
}

void TTolvanDrawPanel::wheelEvent(QWheelEvent* event) {
    if (OnWheel)
        Guarded([&] { OnWheel(event); });
    else
        QWidget::wheelEvent(event);
}

void TTolvanDrawPanel::keyPressEvent(QKeyEvent* event) {
    bool handled = false;
    if (OnKeyDown) Guarded([&] { handled = OnKeyDown(event); });
    if (!handled) QWidget::keyPressEvent(event);
}

void TTolvanDrawPanel::contextMenuEvent(QContextMenuEvent* event) {
    if (OnContextPopup) Guarded([&] { OnContextPopup(event->globalPos()); });
}
