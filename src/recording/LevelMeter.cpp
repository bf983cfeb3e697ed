#include "recording/LevelMeter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace harkwell {

class LevelMeter::Bar final : public QWidget {
public:
    Bar(LevelMeter* meter, std::function<QColor(const QPalette&)> accent)
        : QWidget(meter)
        , m_meter(meter)
        , m_accent(std::move(accent))
    {
        setFixedHeight(6);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const QRectF track = rect();
        QColor trackColour = palette().color(QPalette::PlaceholderText);
        trackColour.setAlphaF(0.2f);
        painter.setBrush(trackColour);
        painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        const double f = LevelMeter::fraction(m_meter->peak());
        if (f <= 0)
            return;
        QRectF fill = track;
        fill.setWidth(track.width() * std::min(f, 1.0));
        painter.setBrush(LevelMeter::isLoud(f) ? QColor(255, 149, 0) : m_accent(palette()));
        painter.drawRoundedRect(fill, fill.height() / 2, fill.height() / 2);
    }

private:
    LevelMeter* m_meter;
    std::function<QColor(const QPalette&)> m_accent;
};

LevelMeter::LevelMeter(const QString& label, std::function<QColor(const QPalette&)> accent, QWidget* parent)
    : QWidget(parent)
    , m_label(new QLabel(label, this))
    , m_bar(new Bar(this, std::move(accent)))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    QFont caption = m_label->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    m_label->setFont(caption);
    m_label->setFixedWidth(44);
    row->addWidget(m_label);
    row->addWidget(m_bar, 1, Qt::AlignVCenter);
}

void LevelMeter::setPeak(float peak)
{
    m_peak = peak;
    m_bar->update();
}

QString LevelMeter::label() const { return m_label->text(); }

double LevelMeter::fraction(float peak)
{
    return (20.0 * std::log10(std::max(double(peak), 0.000001)) + 60.0) / 60.0;
}

}  // namespace harkwell
