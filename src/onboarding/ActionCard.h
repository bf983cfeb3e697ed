#pragma once
// A wide button of the welcome window: icon, title over subtitle, chevron.

#include <QAbstractButton>

namespace harkwell {

class ActionCard final : public QAbstractButton {
    Q_OBJECT
public:
    ActionCard(const QString& title, const QString& subtitle, const QString& systemIcon, QWidget* parent = nullptr);

    QString subtitle() const { return m_subtitle; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_subtitle;
};

}  // namespace harkwell
