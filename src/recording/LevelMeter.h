#pragma once
// One labelled level bar of the recorder panel: the peak in dBFS from −60 (empty) to 0 (full),
// orange above −6 dBFS.

#include <QColor>
#include <QWidget>

#include <functional>

class QLabel;

namespace harkwell {

class LevelMeter final : public QWidget {
    Q_OBJECT
public:
    LevelMeter(const QString& label, std::function<QColor(const QPalette&)> accent, QWidget* parent = nullptr);

    void setPeak(float peak);
    float peak() const { return m_peak; }
    QString label() const;

    // (20·log10(max(peak, 1e-6)) + 60) / 60; below 0 draws nothing, above 1 a full bar.
    static double fraction(float peak);
    static bool isLoud(double fraction) { return fraction > 0.9; }

private:
    class Bar;
    QLabel* m_label;
    Bar* m_bar;
    float m_peak = 0;
};

}  // namespace harkwell
