#include "settings/MirelonSection.h"

#include "foundation/Opening.h"
#include "platform/identity/Identity.h"
#include "service/MirelonAuth.h"
#include "settings/FormSection.h"
#include "settings/ServiceAddress.h"
#include "settings/SettingsEditingCopy.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace harkwell {

MirelonSection::MirelonSection(SettingsEditingCopy& copy, MirelonAuth& auth, QWidget* parent)
    : QWidget(parent), m_copy(copy), m_auth(auth)
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* section = new FormSection(QStringLiteral("Mirelon"), this);
    outer->addWidget(section);

    m_stateArea = new QWidget(section);
    m_stateLayout = new QVBoxLayout(m_stateArea);
    m_stateLayout->setContentsMargins(0, 0, 0, 0);
    section->addRow(m_stateArea);

    auto* baseUrl = new QLineEdit(copy.mirelonBaseUrl, section);
    baseUrl->setObjectName(QStringLiteral("mirelonBaseURL"));
    baseUrl->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(baseUrl, &QLineEdit::textEdited, this, [this](const QString& text) { m_copy.mirelonBaseUrl = text; });
    section->addRow(QStringLiteral("Base URL:"), baseUrl);
    section->setFooter(footer());

    connect(&m_auth, &MirelonAuth::stateChanged, this, &MirelonSection::showState);
    showState();
}

QString MirelonSection::footer()
{
    return QStringLiteral("Connecting opens Mirelon in your browser, where you are already signed in, and stores a device "
                          "token in your keyring (service ") +
           QString::fromLatin1(identity::kBundleIdentifier) +
           QStringLiteral(") — no account password is kept on this computer. Disconnect removes the token here; to revoke it "
                          "server-side, use the device list in Mirelon. Base URL: leave blank for ") +
           ServiceAddress::defaultBaseUrl().toString() + u'.';
}

void MirelonSection::connectToService() { m_auth.connect(ServiceAddress::resolvedBaseUrl(m_copy.mirelonBaseUrl)); }

void MirelonSection::showState()
{
    // The area is drawn afresh for every state; a button may be replacing itself, so the old
    // widgets go once the current event is over.
    while (QLayoutItem* item = m_stateLayout->takeAt(0)) {
        QWidget* old = item->widget();
        old->hide();
        old->setParent(nullptr);
        old->deleteLater();
        delete item;
    }
    auto* content = new QWidget(m_stateArea);
    content->setObjectName(QStringLiteral("pairingState"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    m_stateLayout->addWidget(content);
    content->show();

    const MirelonAuth::State& state = m_auth.state();
    using Kind = MirelonAuth::State::Kind;
    switch (state.kind) {
    case Kind::Idle: {
        auto* connectButton = new QPushButton(QStringLiteral("Connect to Mirelon…"), content);
        connect(connectButton, &QPushButton::clicked, this, &MirelonSection::connectToService);
        layout->addWidget(FormSection::row({connectButton, nullptr}, content));
        break;
    }
    case Kind::Failed: {
        auto* message = FormSection::caption(state.message, content);
        message->setObjectName(QStringLiteral("pairingMessage"));
        FormSection::setTone(message, FormSection::Tone::Warning);
        layout->addWidget(message);
        auto* again = new QPushButton(QStringLiteral("Try again"), content);
        connect(again, &QPushButton::clicked, this, &MirelonSection::connectToService);
        layout->addWidget(FormSection::row({again, nullptr}, content));
        break;
    }
    case Kind::Connected: {
        auto* form = new QFormLayout();
        auto* prefix = new QLabel(state.tokenPrefix + QStringLiteral("…"), content);
        prefix->setObjectName(QStringLiteral("tokenPrefix"));
        prefix->setTextFormat(Qt::PlainText);
        prefix->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        form->addRow(QStringLiteral("Connected:"), prefix);
        if (!state.scopes.isEmpty()) {
            auto* scopes = new QLabel(state.scopes.join(QStringLiteral(", ")), content);
            scopes->setObjectName(QStringLiteral("scopes"));
            scopes->setTextFormat(Qt::PlainText);
            FormSection::setTone(scopes, FormSection::Tone::Secondary);
            form->addRow(QStringLiteral("Scopes:"), scopes);
        }
        layout->addLayout(form);
        auto* disconnectButton = new QPushButton(QStringLiteral("Disconnect"), content);
        connect(disconnectButton, &QPushButton::clicked, this, [this] { m_auth.disconnect(); });
        layout->addWidget(FormSection::row({disconnectButton, nullptr}, content));
        break;
    }
    case Kind::Pairing: {
        layout->setSpacing(6);
        layout->addWidget(new QLabel(QStringLiteral("Approve this computer in your browser."), content));
        auto* code = new QLabel(state.userCode, content);
        code->setObjectName(QStringLiteral("userCode"));
        code->setTextFormat(Qt::PlainText);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 1.4);
        code->setFont(font);
        code->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        auto* copyButton = new QPushButton(QStringLiteral("Copy"), content);
        const QString userCode = state.userCode;
        connect(copyButton, &QPushButton::clicked, this, [userCode] {
            QClipboard* clipboard = QGuiApplication::clipboard();
            clipboard->clear();
            clipboard->setText(userCode);
        });
        auto* openAgain = new QPushButton(QStringLiteral("Open page again"), content);
        const QUrl page = state.verificationUrl;
        connect(openAgain, &QPushButton::clicked, this, [page] { Opening::openWithoutWaiting(page); });
        layout->addWidget(FormSection::row({code, copyButton, openAgain, nullptr}, content));
        layout->addWidget(FormSection::caption(QStringLiteral("Check the code on the page matches before approving."), content));
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), content);
        connect(cancel, &QPushButton::clicked, this, [this] { m_auth.cancelPairing(); });
        layout->addWidget(FormSection::row({cancel, nullptr}, content));
        break;
    }
    }
}

}  // namespace harkwell
