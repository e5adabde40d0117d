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
    return {300, fontMetrics().height() + 10};
}

void Text_progress_bar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), _background.isValid() ? _background : palette().color(QPalette::Base));
    const int span = _maximum - _minimum;
    if (span > 0 && _position > _minimum) {
        const int width = static_cast<int>(static_cast<long long>(frame.width() - 1) * (_position - _minimum) / span);
        painter.fillRect(QRect(frame.left() + 1, frame.top() + 1, width, frame.height() - 1), _bar);
    }
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(frame);
    // The caption is drawn over the bar: white on the blue part, the text colour elsewhere.
    const int filled = span > 0 ? static_cast<int>(static_cast<long long>(frame.width()) * (_position - _minimum) / span) : 0;
    painter.save();
    painter.setClipRect(QRect(0, 0, filled, height()));
    painter.setPen(Qt::white);
    painter.drawText(rect(), Qt::AlignCenter, _caption);
    painter.restore();
    painter.setClipRect(QRect(filled, 0, width() - filled, height()));
    painter.setPen(Qt::black);
    painter.drawText(rect(), Qt::AlignCenter, _caption);
}

} // namespace velin
