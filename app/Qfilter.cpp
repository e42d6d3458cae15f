#include "Qfilter.h"

#include <QCheckBox>
#include <QDate>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace app {

TForm3::TForm3(AppValues& values, QWidget* parent) : QDialog(parent), values_(values) {
    setObjectName("TForm3");
    setWindowTitle("Query Filter");

    auto* label = new QLabel("Patient Name", this);
    label->setObjectName("Label1");
    edit2_ = new QLineEdit(this);
    edit2_->setObjectName("Edit2");
    from_ = new QCheckBox("From", this);
    from_->setObjectName("CheckBox1");
    edit3_ = new QLineEdit(this);
    edit3_->setObjectName("Edit3");
    to_ = new QCheckBox("To", this);
    to_->setObjectName("CheckBox2");
    edit4_ = new QLineEdit(this);
    edit4_->setObjectName("Edit4");
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("Button1");
    ok->setDefault(true);

    auto* grid = new QGridLayout(this);
    grid->addWidget(label, 0, 0);
    grid->addWidget(edit2_, 0, 1);
    grid->addWidget(from_, 1, 0);
    grid->addWidget(edit3_, 1, 1);
    grid->addWidget(to_, 2, 0);
    grid->addWidget(edit4_, 2, 1);
    grid->addWidget(ok, 3, 1, Qt::AlignRight);

    connect(from_, &QCheckBox::toggled, edit3_, &QLineEdit::setEnabled);
    connect(to_, &QCheckBox::toggled, edit4_, &QLineEdit::setEnabled);
    connect(ok, &QPushButton::clicked, this, &TForm3::Confirm);
}

void TForm3::showEvent(QShowEvent* event) {
    const QString today = QDate::currentDate().toString("yyyyMMdd");
    edit2_->clear();
    from_->setChecked(false);
    to_->setChecked(false);
    edit3_->setEnabled(false);
    edit4_->setEnabled(false);
    edit3_->setText(today);
    edit4_->setText(today);
    QDialog::showEvent(event);
}

// The dates are taken as typed. With neither box checked the date key stays as it was.
void TForm3::Confirm() {
    if (!edit2_->text().isEmpty()) values_.PatientFilter = edit2_->text();
    if (from_->isChecked() && to_->isChecked()) {
        values_.DateFilter = edit3_->text() + "-" + edit4_->text();
    } else if (from_->isChecked()) {
        values_.DateFilter = edit3_->text() + "-";
    } else if (to_->isChecked()) {
        values_.DateFilter = "-" + edit4_->text();
    }
    accept();
}

}  // namespace app
