// The Receive panel: the storage provider's port, folder and classes, the users it accepts, the
// faults it commits, the services it gives besides storage, and the live line of every association
// and message it serves. The Receive button starts the provider with these and the Setup's
// connection settings and stops it when pressed again; a provider that cannot start lets the button
// spring back, with the reason in the list. The settings are kept in tessaly.ini each time Receive
// is pressed.
#pragma once

#include <QWidget>

#include "AppValues.h"
#include "Receiver.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;
class QToolButton;

namespace app {

// The lines the list keeps; older ones go.
constexpr int RECEIVE_LIST_LINES = 5000;

class ReceivePanel : public QWidget {
    Q_OBJECT

  public:
    // button is the window's Receive button; the panel answers its presses.
    ReceivePanel(AppValues& values, QToolButton* button, QWidget* parent);
    // Shows the settings read from tessaly.ini.
    void ShowSettings();

  private:
    void Pressed(bool on);
    ReceiveIni TakeSettings() const;
    void Running(bool on);

    AppValues& values_;
    QToolButton* button_;
    Receiver receiver_;
    QWidget* options_;
    QSpinBox* spinEdit1_;   // port
    QLineEdit* edit1_;      // folder
    QCheckBox* checkBox1_;  // accept every storage class
    QGroupBox* groupBox1_;  // faults
    QComboBox* comboBox1_;  // refused class
    QComboBox* comboBox2_;  // rejection
    QComboBox* comboBox3_;  // the request a status answers
    QSpinBox* spinEdit2_;   // that status
    QSpinBox* spinEdit3_;   // every Nth
    QSpinBox* spinEdit4_;   // delay
    QSpinBox* spinEdit5_;   // abort after
    QSpinBox* spinEdit6_;   // close after
    QLineEdit* edit2_;      // accepted users file
    QGroupBox* groupBox2_;  // services
    QCheckBox* checkBox2_;  // answer queries and retrieves
    QSpinBox* spinEdit7_;   // extra pending responses
    QCheckBox* checkBox3_;  // storage commitment
    QCheckBox* checkBox4_;  // its reports on a new association
    QLineEdit* edit3_;      // nodes file
    QLineEdit* edit4_;      // worklist folder
    QLineEdit* edit5_;      // MPPS folder
    QPlainTextEdit* memo2_;
};

}  // namespace app
