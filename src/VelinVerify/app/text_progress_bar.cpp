#include "VelinVerify/app/text_progress_bar.h"

#include <QPainter>
#include <QStyleOptionFrame>

#include <algorithm>

namespace velin {

Text_progress_bar::Text_progress_bar(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("Avanzamento"));
}

void Text_progress_bar::set_range(int minimum, int maximum)
{
    _minimum = minimum;
    _maximum = std::max(minimum, maximum);
    _position = std::clamp(_position, _minimum, _maximum);
    update();
}

void Text_progress_bar::set_position(int position)
{
    _position = std::clamp(position, _minimum, _maximum);
    update();
}

void Text_progress_bar::set_caption(const QString& caption)
{
    _caption = caption;
    setAccessibleDescription(caption);
    update();
}

void Text_progress_bar::set_bar_colour(const QColor& colour)
{
    _bar = colour;
    update();
}

void Text_progress_bar::set_background(const QColor& colour)
{
    _background = colour;
    update();
}

QSize Text_progress_bar::sizeHint() const
{
    return {300, fontMetrics().height() + 16};
}

void Text_progress_bar::paintEvent(QPaintEvent*)
{
    // The bar is drawn inset, so the background (the outcome's colour at the end) stays visible
    // around it even when the bar is full.
    constexpr int inset = 4;
    QPainter painter(this);
    painter.fillRect(rect(), _background.isValid() ? _background : palette().color(QPalette::Base));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    const QRect track = rect().adjusted(inset, inset, -inset, -inset);
    const int span = _maximum - _minimum;
    const int filled =
        span > 0 ? static_cast<int>(static_cast<long long>(track.width()) * (_position - _minimum) / span) : 0;
    if (filled > 0)
        painter.fillRect(QRect(track.left(), track.top(), filled, track.height()), _bar);
    // The caption is written over the bar: white on the blue part, black elsewhere.
    painter.save();
    painter.setClipRect(QRect(track.left(), 0, filled, height()));
    painter.setPen(Qt::white);
    painter.drawText(rect(), Qt::AlignCenter, _caption);
    painter.restore();
    painter.setClipRect(QRect(track.left() + filled, 0, width() - track.left() - filled, height()));
    painter.setPen(Qt::black);
    painter.drawText(rect(), Qt::AlignCenter, _caption);
}

} // namespace velin
