#include "resources/Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace {

struct Colours {
    QColor top;
    QColor bottom;
    QColor symbol;
    QColor outline;
};

// The disabled state is a flat gray version of the same drawing, so the shape stays
// recognisable while the colour says "not now".
Colours ButtonColours(CArtwork::Button button, CArtwork::State state)
{
    Colours colours;
    switch (button) {
    case CArtwork::Button::Start:
        colours = {QColor(92, 196, 96), QColor(24, 120, 40), Qt::white, QColor(14, 84, 26)};
        break;
    case CArtwork::Button::Stop:
        colours = {QColor(236, 98, 88), QColor(160, 28, 28), Qt::white, QColor(110, 16, 16)};
        break;
    case CArtwork::Button::Config:
        colours = {QColor(120, 160, 210), QColor(44, 82, 140), Qt::white, QColor(30, 56, 100)};
        break;
    }
    if (state == CArtwork::State::Hot) {
        colours.top = colours.top.lighter(118);
        colours.bottom = colours.bottom.lighter(125);
    } else if (state == CArtwork::State::Disabled) {
        colours = {QColor(200, 200, 200), QColor(150, 150, 150), QColor(236, 236, 236), QColor(128, 128, 128)};
    }
    return colours;
}

QPixmap Blank(int nSize)
{
    QPixmap pixmap(nSize, nSize);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// A gear outline centred at c: nTeeth teeth between radii rInner and rOuter.
QPainterPath GearPath(QPointF c, double rOuter, double rInner, double rHole, int nTeeth)
{
    QPainterPath path;
    const double dStep = 2 * M_PI / nTeeth;
    for (int i = 0; i < nTeeth; ++i) {
        const double a = i * dStep;
        // Each tooth: rise, flat top, fall, flat root; a quarter step each.
        const double angles[4] = {a, a + dStep * 0.12, a + dStep * 0.38, a + dStep * 0.5};
        const double radii[4] = {rInner, rOuter, rOuter, rInner};
        for (int k = 0; k < 4; ++k) {
            QPointF p(c.x() + radii[k] * std::cos(angles[k]), c.y() + radii[k] * std::sin(angles[k]));
            if (i == 0 && k == 0)
                path.moveTo(p);
            else
                path.lineTo(p);
        }
    }
    path.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, rHole, rHole);
    return path.subtracted(hole);
}

// The button's outline and symbol around its centre c, the pen and fill set for the outline.
void PaintSymbol(QPainter& painter, CArtwork::Button button, const Colours& colours, const QPointF& c)
{
    switch (button) {
    case CArtwork::Button::Start: {
        painter.drawEllipse(c, 19, 19);
        QPainterPath play;
        play.moveTo(c.x() - 6, c.y() - 10);
        play.lineTo(c.x() + 11, c.y());
        play.lineTo(c.x() - 6, c.y() + 10);
        play.closeSubpath();
        painter.setPen(Qt::NoPen);
        painter.setBrush(colours.symbol);
        painter.drawPath(play);
        break;
    }
    case CArtwork::Button::Stop: {
        // An octagon, as a road stop sign.
        QPolygonF octagon;
        for (int i = 0; i < 8; ++i) {
            const double a = M_PI / 8 + i * M_PI / 4;
            octagon << QPointF(c.x() + 20 * std::cos(a), c.y() + 20 * std::sin(a));
        }
        painter.drawPolygon(octagon);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colours.symbol);
        painter.drawRoundedRect(QRectF(c.x() - 8, c.y() - 8, 16, 16), 2, 2);
        break;
    }
    case CArtwork::Button::Config: {
        painter.drawPath(GearPath(c, 20, 15, 6, 9));
        painter.setPen(Qt::NoPen);
        painter.setBrush(colours.symbol);
        QPainterPath ring;
        ring.addEllipse(c, 10, 10);
        QPainterPath hole;
        hole.addEllipse(c, 6, 6);
        painter.drawPath(ring.subtracted(hole));
        break;
    }
    }
}

void PaintButton(QPainter& painter, CArtwork::Button button, CArtwork::State state)
{
    const Colours colours = ButtonColours(button, state);
    const double s = CArtwork::kToolbarImageSize;
    painter.setRenderHint(QPainter::Antialiasing);

    if (state == CArtwork::State::Hot) {
        // A soft halo tells the hovered button apart.
        QRadialGradient halo(QPointF(s / 2, s / 2), s / 2);
        halo.setColorAt(0.7, QColor(255, 236, 150, 160));
        halo.setColorAt(1.0, QColor(255, 236, 150, 0));
        painter.setPen(Qt::NoPen);
        painter.setBrush(halo);
        painter.drawEllipse(QRectF(0, 0, s, s));
    }

    QLinearGradient fill(0, 4, 0, s - 4);
    fill.setColorAt(0, colours.top);
    fill.setColorAt(1, colours.bottom);
    painter.setPen(QPen(colours.outline, 1.5));
    painter.setBrush(fill);

    PaintSymbol(painter, button, colours, QPointF(s / 2, s / 2));
}

// A small recorder box with a lens and a status light, scaled to nSize.
void PaintRecorder(QPainter& painter, int nSize, bool bOnlineDot)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(nSize / 32.0, nSize / 32.0);
    // Antenna.
    painter.setPen(QPen(QColor(60, 60, 60), 1.5));
    painter.drawLine(QPointF(24, 9), QPointF(28, 2));
    // Body.
    QLinearGradient body(0, 8, 0, 28);
    body.setColorAt(0, QColor(98, 104, 112));
    body.setColorAt(1, QColor(40, 44, 50));
    painter.setPen(QPen(QColor(24, 26, 30), 1));
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(2.5, 9.5, 27, 18), 3, 3);
    // Lens.
    QRadialGradient lens(QPointF(10, 17), 6);
    lens.setColorAt(0, QColor(140, 190, 240));
    lens.setColorAt(0.6, QColor(30, 70, 130));
    lens.setColorAt(1, QColor(10, 20, 40));
    painter.setBrush(lens);
    painter.drawEllipse(QPointF(11, 18.5), 5.5, 5.5);
    // Slots.
    painter.setPen(QPen(QColor(170, 176, 184), 1));
    painter.drawLine(QPointF(19, 15.5), QPointF(26, 15.5));
    painter.drawLine(QPointF(19, 18.5), QPointF(26, 18.5));
    // Status light.
    painter.setPen(Qt::NoPen);
    painter.setBrush(bOnlineDot ? QColor(60, 220, 80) : QColor(230, 60, 50));
    painter.drawEllipse(QPointF(24.5, 23.5), 2, 2);
}

} // namespace

QPixmap CArtwork::ToolbarImage(Button button, State state)
{
    QPixmap pixmap = Blank(kToolbarImageSize);
    QPainter painter(&pixmap);
    PaintButton(painter, button, state);
    return pixmap;
}

QIcon CArtwork::ToolbarIcon(Button button)
{
    QIcon icon;
    icon.addPixmap(ToolbarImage(button, State::Normal), QIcon::Normal);
    icon.addPixmap(ToolbarImage(button, State::Hot), QIcon::Active);
    icon.addPixmap(ToolbarImage(button, State::Disabled), QIcon::Disabled);
    return icon;
}

QIcon CArtwork::AppIcon()
{
    QIcon icon;
    for (int nSize : {16, 32, 48}) {
        QPixmap pixmap = Blank(nSize);
        QPainter painter(&pixmap);
        PaintRecorder(painter, nSize, true);
        // A download arrow over the recorder.
        painter.resetTransform();
        painter.scale(nSize / 32.0, nSize / 32.0);
        painter.setPen(QPen(QColor(255, 255, 255), 1));
        painter.setBrush(QColor(30, 150, 60));
        QPolygonF arrow;
        arrow << QPointF(14, 0.5) << QPointF(20, 0.5) << QPointF(20, 6) << QPointF(24, 6)
              << QPointF(17, 13) << QPointF(10, 6) << QPointF(14, 6);
        painter.drawPolygon(arrow);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QPixmap CArtwork::RecorderImage()
{
    QPixmap pixmap = Blank(32);
    QPainter painter(&pixmap);
    PaintRecorder(painter, 32, true);
    return pixmap;
}

QIcon CArtwork::OnlineTabIcon()
{
    QPixmap pixmap = Blank(16);
    QPainter painter(&pixmap);
    PaintRecorder(painter, 16, true);
    painter.end();
    return QIcon(pixmap);
}

QIcon CArtwork::LogTabIcon()
{
    QPixmap pixmap = Blank(16);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // A sheet with a folded corner and text lines.
    QPolygonF sheet;
    sheet << QPointF(2.5, 0.5) << QPointF(10.5, 0.5) << QPointF(13.5, 3.5) << QPointF(13.5, 15.5)
          << QPointF(2.5, 15.5);
    painter.setPen(QPen(QColor(70, 80, 100), 1));
    painter.setBrush(QColor(250, 250, 240));
    painter.drawPolygon(sheet);
    painter.drawLine(QPointF(10.5, 0.5), QPointF(10.5, 3.5));
    painter.drawLine(QPointF(10.5, 3.5), QPointF(13.5, 3.5));
    painter.setPen(QPen(QColor(0, 0, 255), 1));
    for (int y : {6, 9, 12})
        painter.drawLine(QPointF(4.5, y + 0.5), QPointF(11.5, y + 0.5));
    painter.end();
    return QIcon(pixmap);
}
