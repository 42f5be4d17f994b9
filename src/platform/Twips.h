#pragma once
#include <QRectF>

class QWidget;

// Geometry in twips: 15 twips per device-independent pixel, so the window keeps
// its proportions on high-DPI screens. Each control remembers its twip
// rectangle, so values written are read back exactly; the pixel geometry is
// derived from it, with shared edges rounded the same way.
namespace Twips
{
constexpr float PerPixel = 15.f;

QRectF Rect(const QWidget *w);
void SetRect(QWidget *w, const QRectF &r);

inline float Left(const QWidget *w)
{
    return float(Rect(w).left());
}
inline float Top(const QWidget *w)
{
    return float(Rect(w).top());
}
inline float Width(const QWidget *w)
{
    return float(Rect(w).width());
}
inline float Height(const QWidget *w)
{
    return float(Rect(w).height());
}
void SetLeft(QWidget *w, float v);
void SetTop(QWidget *w, float v);
void SetWidth(QWidget *w, float v);
void SetHeight(QWidget *w, float v);

// A label that sizes itself to its caption: width from the text, one line high.
void AutoSizeLabel(QWidget *label, float lineHeight);
} // namespace Twips
