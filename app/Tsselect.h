// The TransferSyntax dialog: the syntax a file is offered in by Store, as an index into its
// list. Each time it is shown the first item is selected; only OK changes the choice.
#pragma once

#include <QDialog>

#include "AppValues.h"

class QComboBox;

namespace app {

class TForm4 : public QDialog {
    Q_OBJECT

  public:
    TForm4(AppValues& values, QWidget* parent = nullptr);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    AppValues& values_;
    QComboBox* comboBox1_;
};

}  // namespace app
