#include "ReceivePanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

namespace app {
namespace {

QLabel* Label(const char* name, const char* caption, QWidget* buddy) {
    auto* label = new QLabel(caption, buddy->parentWidget());
    label->setObjectName(name);
    label->setBuddy(buddy);
    return label;
}

// A count from 0, where 0 is off and shows as offText.
QSpinBox* Count(const char* name, int most, const char* offText, QWidget* parent) {
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(name);
    spin->setRange(0, most);
    spin->setSpecialValueText(offText);
    return spin;
}

// A status as the list shows it: "0xA700".
class StatusSpin : public QSpinBox {
  public:
    using QSpinBox::QSpinBox;

  protected:
    QString textFromValue(int value) const override {
        return QString("%1").arg(value, 4, 16, QChar('0')).toUpper();
    }
};

QComboBox* Chooser(const char* name, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(8);
    return box;
}

}  // namespace

ReceivePanel::ReceivePanel(AppValues& values, QToolButton* button, QWidget* parent)
    : QWidget(parent), values_(values), button_(button), receiver_(this) {
    options_ = new QWidget(this);
    spinEdit1_ = new QSpinBox(options_);
    spinEdit1_->setObjectName("SpinEdit1");
    spinEdit1_->setRange(1, 65535);
    edit1_ = new QLineEdit(options_);
    edit1_->setObjectName("Edit1");
    auto* browse = new QToolButton(options_);
    browse->setObjectName("Button1");
    browse->setText("...");
    browse->setToolTip("Choose the folder the received files go into");
    checkBox1_ = new QCheckBox("Accept every storage class", options_);
    checkBox1_->setObjectName("CheckBox1");
    checkBox1_->setToolTip(
        "Every storage SOP class of the standard, in the first transfer "
        "syntax proposed that the library reads, stored as received");

    groupBox1_ = new QGroupBox("Faults", options_);
    groupBox1_->setObjectName("GroupBox1");
    groupBox1_->setCheckable(true);
    auto* faults = new QWidget(groupBox1_);
    comboBox1_ = Chooser("ComboBox1", faults);
    comboBox1_->setEditable(true);
    comboBox1_->setInsertPolicy(QComboBox::NoInsert);
    comboBox1_->addItem("", QString());
    const char* name = nullptr;
    for (uint32_t i = 0; const char* uid = ProbeStorageClassAt(i, &name); ++i)
        comboBox1_->addItem(QString::fromLatin1(name), QString::fromLatin1(uid));
    comboBox1_->setToolTip(
        "Answer this class's presentation contexts with result 3 (abstract "
        "syntax not supported); pick one or type its UID");
    comboBox2_ = Chooser("ComboBox2", faults);
    comboBox2_->addItem("none");
    for (const RejectChoice& c : RejectChoices())
        comboBox2_->addItem(QString::fromStdString(c.words));
    comboBox3_ = Chooser("ComboBox3", faults);
    comboBox3_->addItem("none");
    for (const auto& [command, field] : StatusFaultCommands())
        comboBox3_->addItem(QString::fromStdString(command));
    spinEdit2_ = new StatusSpin(faults);
    spinEdit2_->setObjectName("SpinEdit2");
    spinEdit2_->setRange(0, 0xFFFF);
    spinEdit2_->setDisplayIntegerBase(16);
    spinEdit2_->setPrefix("0x");
    spinEdit2_->setMinimumWidth(spinEdit2_->fontMetrics().horizontalAdvance("0xFFFF") + 40);
    spinEdit2_->setToolTip("The status answered instead; a failure status stores nothing");
    spinEdit3_ = new QSpinBox(faults);
    spinEdit3_->setObjectName("SpinEdit3");
    spinEdit3_->setRange(1, 1'000'000);
    spinEdit3_->setPrefix("every ");
    spinEdit4_ = Count("SpinEdit4", 3'600'000, "off", faults);
    spinEdit4_->setSuffix(" ms");
    spinEdit4_->setToolTip("A wait before each response");
    spinEdit5_ = Count("SpinEdit5", 1'000'000, "never", faults);
    spinEdit5_->setToolTip("An A-ABORT once this many requests of an association are answered");
    spinEdit6_ = Count("SpinEdit6", 1'000'000, "never", faults);
    spinEdit6_->setToolTip(
        "The connection dropped without a word once this many requests are answered");

    auto* status = new QHBoxLayout;
    status->addWidget(comboBox3_, 1);
    status->addWidget(spinEdit2_);
    status->addWidget(spinEdit3_);
    auto* faultGrid = new QGridLayout(faults);
    faultGrid->setContentsMargins(0, 0, 0, 0);
    faultGrid->addWidget(Label("Label3", "Refuse class:", comboBox1_), 0, 0);
    faultGrid->addWidget(comboBox1_, 0, 1, 1, 3);
    faultGrid->addWidget(Label("Label4", "Reject:", comboBox2_), 1, 0);
    faultGrid->addWidget(comboBox2_, 1, 1, 1, 3);
    faultGrid->addWidget(Label("Label5", "Status:", comboBox3_), 2, 0);
    faultGrid->addLayout(status, 2, 1, 1, 3);
    faultGrid->addWidget(Label("Label6", "Delay:", spinEdit4_), 3, 0);
    faultGrid->addWidget(spinEdit4_, 3, 1);
    faultGrid->addWidget(Label("Label7", "Abort after:", spinEdit5_), 4, 0);
    faultGrid->addWidget(spinEdit5_, 4, 1);
    faultGrid->addWidget(Label("Label8", "Close after:", spinEdit6_), 4, 2);
    faultGrid->addWidget(spinEdit6_, 4, 3);
    faultGrid->setColumnStretch(1, 1);
    faultGrid->setColumnStretch(3, 1);
    auto* groupLayout = new QVBoxLayout(groupBox1_);
    groupLayout->addWidget(faults);
    // Off, the group folds to its title and leaves the room to the list.
    faults->setVisible(false);
    groupBox1_->setFlat(true);
    connect(groupBox1_, &QGroupBox::toggled, this, [this, faults](bool on) {
        faults->setVisible(on);
        groupBox1_->setFlat(!on);
    });

    auto* where = new QHBoxLayout;
    where->addWidget(Label("Label1", "Port:", spinEdit1_));
    where->addWidget(spinEdit1_);
    where->addSpacing(8);
    where->addWidget(Label("Label2", "Folder:", edit1_));
    where->addWidget(edit1_, 1);
    where->addWidget(browse);
    auto* optionsLayout = new QVBoxLayout(options_);
    optionsLayout->setContentsMargins(0, 0, 0, 0);
    optionsLayout->addLayout(where);
    optionsLayout->addWidget(checkBox1_);
    optionsLayout->addWidget(groupBox1_);

    memo2_ = new QPlainTextEdit(this);
    memo2_->setObjectName("Memo2");
    memo2_->setReadOnly(true);
    memo2_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo2_->setMaximumBlockCount(RECEIVE_LIST_LINES);
    memo2_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(options_);
    layout->addWidget(memo2_, 1);

    connect(browse, &QToolButton::clicked, this, [this] {
        const QString chosen =
            QFileDialog::getExistingDirectory(window(), "Choose the folder", edit1_->text());
        if (!chosen.isEmpty()) edit1_->setText(chosen);
    });
    connect(button_, &QToolButton::toggled, this, &ReceivePanel::Pressed);
    connect(&receiver_, &Receiver::Line, memo2_, &QPlainTextEdit::appendPlainText);
    connect(&receiver_, &Receiver::Stopped, this, [this] { Running(false); });
}

void ReceivePanel::ShowSettings() {
    const ReceiveIni& r = values_.ini.receive;
    spinEdit1_->setValue(static_cast<int>(r.port));
    edit1_->setText(QString::fromStdString(r.folder));
    checkBox1_->setChecked(r.acceptAll);
    groupBox1_->setChecked(r.faults);
    const QString refuse = QString::fromStdString(r.refuse);
    const int known = comboBox1_->findData(refuse);
    if (known >= 0)
        comboBox1_->setCurrentIndex(known);
    else
        comboBox1_->setEditText(refuse);
    comboBox2_->setCurrentIndex(r.reject + 1);
    comboBox3_->setCurrentIndex(r.statusCommand + 1);
    spinEdit2_->setValue(r.status);
    spinEdit3_->setValue(static_cast<int>(r.statusEvery));
    spinEdit4_->setValue(static_cast<int>(r.delayMs));
    spinEdit5_->setValue(static_cast<int>(r.abortAfter));
    spinEdit6_->setValue(static_cast<int>(r.closeAfter));
}

ReceiveIni ReceivePanel::TakeSettings() const {
    ReceiveIni r;
    r.port = static_cast<uint32_t>(spinEdit1_->value());
    r.folder = edit1_->text().trimmed().toStdString();
    r.acceptAll = checkBox1_->isChecked();
    r.faults = groupBox1_->isChecked();
    // A class picked from the list is its UID; typed text is taken as a UID.
    const QString typed = comboBox1_->currentText().trimmed();
    const int picked = comboBox1_->findText(typed, Qt::MatchExactly);
    r.refuse = (picked >= 0 ? comboBox1_->itemData(picked).toString() : typed).toStdString();
    r.reject = comboBox2_->currentIndex() - 1;
    r.statusCommand = comboBox3_->currentIndex() - 1;
    r.status = static_cast<uint16_t>(spinEdit2_->value());
    r.statusEvery = static_cast<uint32_t>(spinEdit3_->value());
    r.delayMs = static_cast<uint32_t>(spinEdit4_->value());
    r.abortAfter = static_cast<uint32_t>(spinEdit5_->value());
    r.closeAfter = static_cast<uint32_t>(spinEdit6_->value());
    return r;
}

void ReceivePanel::Pressed(bool on) {
    if (!on) {
        // The provider finishes what has arrived; the button waits for it.
        button_->setEnabled(false);
        receiver_.Stop();
        return;
    }
    values_.ini.receive = TakeSettings();
    QString error;
    if (!SaveIniSettings(values_.WorkDir / INI_FILE_NAME, values_.ini, &error))
        memo2_->appendPlainText("The settings could not be kept in tessaly.ini: " + error);
    if (receiver_.Start(values_.ini.receive, values_.ini.connection, values_.WorkDir)) {
        Running(true);
        return;
    }
    const QSignalBlocker quiet(button_);
    button_->setChecked(false);
}

void ReceivePanel::Running(bool on) {
    options_->setEnabled(!on);
    button_->setEnabled(true);
    if (!on) {
        const QSignalBlocker quiet(button_);
        button_->setChecked(false);
    }
}

}  // namespace app
