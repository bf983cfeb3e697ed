#pragma once
// The welcome window's look, shared by its cards, rows and sheet: caption and tertiary text,
// the rounded card fill, and the desktop's icons standing in for the system symbols.

#include <QString>

class QLabel;
class QWidget;

namespace harkwell {

class WelcomeStyle {
public:
    enum class Tone { Secondary, Tertiary };

    static void setCaption(QLabel* label, Tone tone = Tone::Secondary);
    static void setSecondary(QLabel* label);
    static void setMedium(QLabel* label);
    static void setHeadline(QLabel* label);
    // A 36-point icon for a symbol name ("folder", "shippingbox", "folder.badge.plus"…).
    static QLabel* symbol(const QString& name, QWidget* parent, int size = 36);
    static QLabel* chevron(QWidget* parent);
    // The card fill: the text colour at 8 % (more while pressed), corner radius 8.
    static void paintCard(QWidget* card, bool highlighted);
};

}  // namespace harkwell
