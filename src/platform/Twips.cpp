#include "Twips.h"

#include <QLabel>
#include <QVariant>
#include <QWidget>
#include <cmath>

namespace
{
const char *const Property = "wirebenchTwips";

int toPixels(double twips)
{
    return int(std::lround(twips / Twips::PerPixel));
}
} // namespace

namespace Twips
{

QRectF Rect(const QWidget *w)
{
    const QVariant v = w->property(Property);
    if (v.isValid())
        return v.toRectF();
    const QRect g = w->geometry();
    return QRectF(g.x() * PerPixel, g.y() * PerPixel, g.width() * PerPixel, g.height() * PerPixel);
}

void SetRect(QWidget *w, const QRectF &r)
{
    w->setProperty(Property, r);
    // Edges are rounded, not sizes, so controls that meet in twips meet in pixels.
    const int left = toPixels(r.left()), top = toPixels(r.top());
    const int right = toPixels(r.left() + r.width()), bottom = toPixels(r.top() + r.height());
    w->setGeometry(left, top, std::max(0, right - left), std::max(0, bottom - top));
}

void SetLeft(QWidget *w, float v)
{
    QRectF r = Rect(w);
    r.moveLeft(v);
    SetRect(w, r);
}

void SetTop(QWidget *w, float v)
{
    QRectF r = Rect(w);
    r.moveTop(v);
    SetRect(w, r);
}

void SetWidth(QWidget *w, float v)
{
    QRectF r = Rect(w);
    r.setWidth(v);
    SetRect(w, r);
}

void SetHeight(QWidget *w, float v)
{
    QRectF r = Rect(w);
    r.setHeight(v);
    SetRect(w, r);
}

void AutoSizeLabel(QWidget *label, float lineHeight)
{
    const auto *l = qobject_cast<QLabel *>(label);
    const int textWidth = l ? l->fontMetrics().horizontalAdvance(l->text()) + 2 * l->margin() : 0;
    QRectF r = Rect(label);
    r.setWidth(textWidth * PerPixel);
    r.setHeight(lineHeight);
    SetRect(label, r);
}

} // namespace Twips
