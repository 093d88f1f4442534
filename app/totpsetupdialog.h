#pragma once

#include "vault/totp.h"

#include <QDialog>

namespace Ui {
class TotpSetupDialog;
}

// Takes a pasted otpauth:// link or base32 secret for an entry, with the code's digits, period and
// algorithm; shows the code it gives now and, on request, a QR code to move the secret to a phone.
class TotpSetupDialog : public QDialog
{
    Q_OBJECT

public:
    // `issuer` and `account` name the secret in the link when the pasted text does not.
    TotpSetupDialog(const QString& issuer, const QString& account, QWidget* parent = nullptr);
    ~TotpSetupDialog() override;

    // Starts from the entry's present secret.
    void setSecret(const TotpSecret& secret);
    // The otpauth:// link for the notes (after OK).
    QString uri() const;

private:
    // Reads the fields; OK is offered only for a usable secret.
    void update();
    void onSecretEdited();

    Ui::TotpSetupDialog* form;
    QString issuer, account;
    std::optional<TotpSecret> secret;
};
