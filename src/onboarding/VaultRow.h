#pragma once
// One detected vault in the welcome window's list: its name with badges, its path, when Obsidian
// last opened it. Clicking it commits the vault.

#include "onboarding/VaultCandidate.h"

#include <QAbstractButton>
#include <QColor>
#include <QDate>
#include <QLocale>
#include <QStringList>

#include <functional>

class QLabel;

namespace harkwell {

class VaultRow final : public QAbstractButton {
    Q_OBJECT
public:
    VaultRow(VaultCandidate candidate, std::function<void()> onSelect, const QColor& accent, QWidget* parent = nullptr);

    const VaultCandidate& candidate() const { return m_candidate; }
    QStringList badges() const { return m_badges; }
    QString iconName() const { return m_iconName; }
    // "Last opened …", or empty when the registry gave no date.
    QString lastOpenedText() const;
    // A date in the locale's abbreviated style, without the time.
    static QString abbreviatedDate(const QDate& date, const QLocale& locale = QLocale());

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* badge(const QString& text, const QColor& accent);

    VaultCandidate m_candidate;
    std::function<void()> m_onSelect;
    QStringList m_badges;
    QString m_iconName;
    QLabel* m_lastOpened = nullptr;
};

}  // namespace harkwell
