// A horizontal progress bar over the range 0 to 100 that takes fractional values.
#pragma once

#include <QWidget>

class ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    // Values outside 0..100 are clamped; NaN reads as 0.
    void setValue(double value);
    double value() const { return m_value; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double m_value = 0.0;
};
