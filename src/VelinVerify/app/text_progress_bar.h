// The layer's progress bar: a blue bar with its caption written inside, on a background that is
// reset when an analysis starts and shows the outcome (red, yellow, green) when it ends.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

namespace velin {

class Text_progress_bar : public QWidget {
    Q_OBJECT
public:
    explicit Text_progress_bar(QWidget* parent = nullptr);

    void set_range(int minimum, int maximum);
    void set_position(int position);
    void set_caption(const QString& caption);
    void set_bar_colour(const QColor& colour);
    // An invalid colour: the default background.
    void set_background(const QColor& colour);

    int maximum() const { return _maximum; }
    int position() const { return _position; }
    const QString& caption() const { return _caption; }
    QColor bar_colour() const { return _bar; }
    QColor background() const { return _background; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int _minimum = 0;
    int _maximum = 100;
    int _position = 0;
    QString _caption;
    QColor _bar{0, 0, 255};
    QColor _background;
};

} // namespace velin
