// The Query Filter dialog: the patient name and the date range keys of a query. Each time it
// is shown it starts empty, with today's date in both date fields and both disabled.
#pragma once

#include <QDialog>

#include "AppValues.h"

class QCheckBox;
class QLineEdit;

namespace app {

class TForm3 : public QDialog {
    Q_OBJECT

  public:
    TForm3(AppValues& values, QWidget* parent = nullptr);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void Confirm();

    AppValues& values_;
    QLineEdit* edit2_;
    QCheckBox* from_;
    QLineEdit* edit3_;
    QCheckBox* to_;
    QLineEdit* edit4_;
};

}  // namespace app
