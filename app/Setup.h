// The Setup dialog: the peer, the AE titles, the trace level and the print choices, kept in
// dovazuz.cfg in the working directory, and the character set of query keys and the
// connection settings (waits, maximum PDU length, TLS, user identity), kept in tessaly.ini
// beside it. The files are read when the dialog is made and written on OK.
#pragma once

#include <QDialog>

#include "AppValues.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace app {

class TForm2 : public QDialog {
    Q_OBJECT

  public:
    TForm2(AppValues& values, QWidget* parent = nullptr);

  private:
    QWidget* ConnectionPage();
    void ShowConnection(const ConnectionIni& c);
    // The page's values into c; false, told in a message box, when one is no value of its kind.
    bool TakeConnection(ConnectionIni& c);
    void Save();

    AppValues& values_;
    QLineEdit* edit2_;
    QLineEdit* edit3_;
    QLineEdit* edit4_;
    QLineEdit* edit5_;
    QComboBox* comboBox1_;
    QComboBox* comboBox2_;
    QComboBox* comboBox3_;
    QComboBox* comboBox4_;
    QComboBox* comboBox5_;
    QComboBox* comboBox6_;
    // The Connection page.
    QLineEdit* edit6_;      // connect time-out
    QLineEdit* edit7_;      // association time-out
    QLineEdit* edit8_;      // response time-out
    QLineEdit* edit9_;      // maximum PDU length
    QCheckBox* checkBox1_;  // TLS
    QLineEdit* edit10_;     // our certificate
    QLineEdit* edit11_;     // its key
    QLineEdit* edit12_;     // the key's pass phrase file
    QLineEdit* edit13_;     // trusted CA file or folder
    QComboBox* comboBox7_;  // profile
    QCheckBox* checkBox2_;  // no verify
    QLabel* label20_;       // the no-verify warning
    QComboBox* comboBox8_;  // identity kind
    QLineEdit* edit14_;     // user name
    QLineEdit* edit15_;     // password or token file
    QCheckBox* checkBox3_;  // positive response
};

}  // namespace app
