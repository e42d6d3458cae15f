#include "Tsselect.h"

#include <QComboBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {

TForm4::TForm4(AppValues& values, QWidget* parent) : QDialog(parent), values_(values) {
    setObjectName("TForm4");
    setWindowTitle("TransferSyntax");

    comboBox1_ = new QComboBox(this);
    comboBox1_->setObjectName("ComboBox1");
    comboBox1_->addItems({"little Endian, Implicit VR", "little Endian, Explicit VR",
                          "Big Endian, Explicit VR", "JPEG Lossless, Explicit VR"});
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("Button1");
    ok->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(comboBox1_);
    layout->addWidget(ok, 0, Qt::AlignRight);

    connect(ok, &QPushButton::clicked, this, [this] {
        values_.TransferSyntaxChoice = comboBox1_->currentIndex();
        accept();
    });
}

void TForm4::showEvent(QShowEvent* event) {
    comboBox1_->setCurrentIndex(0);
    QDialog::showEvent(event);
}

}  // namespace app
