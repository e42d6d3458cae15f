// The Setup dialog: the peer, the AE titles, the trace level and the print choices, kept in
// dovazuz.cfg in the working directory, and the character set of query keys, kept in
// tessaly.ini beside it. The files are read when the dialog is made and written on OK.
#pragma once

#include <QDialog>

#include "AppValues.h"

class QComboBox;
class QLineEdit;

namespace app {

class TForm2 : public QDialog {
    Q_OBJECT

  public:
    TForm2(AppValues& values, QWidget* parent = nullptr);

  private:
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
};

}  // namespace app
