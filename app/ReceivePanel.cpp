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
#include <QScrollArea>
#include <QScrollBar>
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

// A file or folder name with its "..." button, which picks one in a dialog.
QLineEdit* PathField(const char* name, const char* button, bool folder, const QString& tip,
                     QWidget* parent, QHBoxLayout*& row) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setToolTip(tip);
    auto* browse = new QToolButton(parent);
    browse->setObjectName(button);
    browse->setText("...");
    browse->setToolTip(tip);
    QObject::connect(browse, &QToolButton::clicked, edit, [edit, folder] {
        const QString chosen =
            folder ? QFileDialog::getExistingDirectory(edit->window(), "Choose the folder",
                                                       edit->text())
                   : QFileDialog::getOpenFileName(edit->window(), "Choose the file", edit->text());
        if (!chosen.isEmpty()) edit->setText(chosen);
    });
    row = new QHBoxLayout;
    row->setSpacing(2);
    row->addWidget(edit, 1);
    row->addWidget(browse);
    return edit;
}

// A checkable group whose content shows only while it is checked: off, it folds to its title
// and leaves the room to the list.
void Folding(QGroupBox* group, QWidget* content) {
    group->setCheckable(true);
    auto* layout = new QVBoxLayout(group);
    layout->addWidget(content);
    const QMargins open = layout->contentsMargins();
    const auto fold = [group, content, layout, open](bool on) {
        content->setVisible(on);
        group->setFlat(!on);
        layout->setContentsMargins(on ? open : QMargins(open.left(), 0, open.right(), 0));
    };
    fold(false);
    QObject::connect(group, &QGroupBox::toggled, group, fold);
}

// As tall as its content when there is room for it, as a group opens or folds.
class Scroll : public QScrollArea {
  public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override {
        return widget()->sizeHint() + QSize(verticalScrollBar()->sizeHint().width(), 0);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget() && event->type() == QEvent::LayoutRequest) updateGeometry();
        return QScrollArea::eventFilter(watched, event);
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

    QHBoxLayout* usersRow = nullptr;
    edit2_ = PathField("Edit2", "Button2", false,
                       "Take associations only from these users: a file of lines NAME:PASSWORD, "
                       "checked against each sender's user name and password; empty: anyone",
                       options_, usersRow);

    groupBox1_ = new QGroupBox("Faults", options_);
    groupBox1_->setObjectName("GroupBox1");
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
    auto* faultGrid = new QGridLayout(faults);
    faultGrid->setContentsMargins(0, 0, 0, 0);
    faultGrid->addWidget(Label("Label3", "Refuse class:", comboBox1_), 0, 0);
    faultGrid->addWidget(comboBox1_, 0, 1);
    faultGrid->addWidget(Label("Label4", "Reject:", comboBox2_), 1, 0);
    faultGrid->addWidget(comboBox2_, 1, 1);
    faultGrid->addWidget(Label("Label5", "Status:", comboBox3_), 2, 0);
    faultGrid->addLayout(status, 2, 1);
    faultGrid->addWidget(spinEdit3_, 3, 1, Qt::AlignRight);
    faultGrid->addWidget(Label("Label6", "Delay:", spinEdit4_), 4, 0);
    faultGrid->addWidget(spinEdit4_, 4, 1, Qt::AlignLeft);
    faultGrid->addWidget(Label("Label7", "Abort after:", spinEdit5_), 5, 0);
    faultGrid->addWidget(spinEdit5_, 5, 1, Qt::AlignLeft);
    faultGrid->addWidget(Label("Label8", "Close after:", spinEdit6_), 6, 0);
    faultGrid->addWidget(spinEdit6_, 6, 1, Qt::AlignLeft);
    faultGrid->setColumnStretch(1, 1);
    Folding(groupBox1_, faults);

    groupBox2_ = new QGroupBox("Services", options_);
    groupBox2_->setObjectName("GroupBox2");
    auto* services = new QWidget(groupBox2_);
    checkBox2_ = new QCheckBox("Answer queries and retrieves", services);
    checkBox2_->setObjectName("CheckBox2");
    checkBox2_->setToolTip(
        "C-FIND, C-MOVE and C-GET at Patient Root and Study Root over what has been received");
    spinEdit7_ = Count("SpinEdit7", 10000, "none", services);
    spinEdit7_->setToolTip(
        "Pending responses sent before each final C-FIND, C-MOVE or C-GET response, beyond "
        "those of the matches");
    checkBox3_ = new QCheckBox("Storage commitment", services);
    checkBox3_->setObjectName("CheckBox3");
    checkBox3_->setToolTip(
        "Take Storage Commitment Push Model: each instance named is committed when its file "
        "is in the folder");
    checkBox4_ = new QCheckBox("reports on a new association", services);
    checkBox4_->setObjectName("CheckBox4");
    checkBox4_->setToolTip(
        "Send every commitment report on a new association to the requestor, as the nodes "
        "file names it");
    checkBox4_->setEnabled(false);
    connect(checkBox3_, &QCheckBox::toggled, checkBox4_, &QCheckBox::setEnabled);
    QHBoxLayout *nodesRow = nullptr, *worklistRow = nullptr, *mppsRow = nullptr;
    edit3_ = PathField("Edit3", "Button3", false,
                       "Lines \"AE HOST PORT\": the C-MOVE destinations and where commitment "
                       "reports on a new association go",
                       services, nodesRow);
    edit4_ = PathField("Edit4", "Button4", true,
                       "Answer Modality Worklist queries from the items in this folder (a "
                       "DICOM or DICOM JSON file each)",
                       services, worklistRow);
    edit5_ = PathField("Edit5", "Button5", true,
                       "Take Modality Performed Procedure Steps, each kept in this folder",
                       services, mppsRow);
    auto* serviceGrid = new QGridLayout(services);
    serviceGrid->setContentsMargins(0, 0, 0, 0);
    serviceGrid->addWidget(checkBox2_, 0, 0, 1, 2);
    serviceGrid->addWidget(Label("Label10", "Extra pending:", spinEdit7_), 1, 0);
    serviceGrid->addWidget(spinEdit7_, 1, 1, Qt::AlignLeft);
    serviceGrid->addWidget(checkBox3_, 2, 0, 1, 2);
    serviceGrid->addWidget(checkBox4_, 3, 1);
    serviceGrid->addWidget(Label("Label11", "Nodes:", edit3_), 4, 0);
    serviceGrid->addLayout(nodesRow, 4, 1);
    serviceGrid->addWidget(Label("Label12", "Worklist:", edit4_), 5, 0);
    serviceGrid->addLayout(worklistRow, 5, 1);
    serviceGrid->addWidget(Label("Label13", "MPPS:", edit5_), 6, 0);
    serviceGrid->addLayout(mppsRow, 6, 1);
    serviceGrid->setColumnStretch(1, 1);
    Folding(groupBox2_, services);

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
    auto* who = new QHBoxLayout;
    who->addWidget(Label("Label9", "Accepted users:", edit2_));
    who->addLayout(usersRow, 1);
    optionsLayout->addLayout(who);
    optionsLayout->addWidget(groupBox1_);
    optionsLayout->addWidget(groupBox2_);

    memo2_ = new QPlainTextEdit(this);
    memo2_->setObjectName("Memo2");
    memo2_->setReadOnly(true);
    memo2_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo2_->setMaximumBlockCount(RECEIVE_LIST_LINES);
    memo2_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* layout = new QVBoxLayout(this);
    // The groups opened may need more height than the window has: the settings then scroll,
    // and the list keeps its room.
    auto* scroll = new Scroll(this);
    scroll->setWidget(options_);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    layout->addWidget(scroll);
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
    edit2_->setText(QString::fromStdString(r.acceptedUsers));
    groupBox2_->setChecked(r.services);
    checkBox2_->setChecked(r.query);
    spinEdit7_->setValue(static_cast<int>(r.pending));
    checkBox3_->setChecked(r.commit);
    checkBox4_->setChecked(r.commitNewAssociation);
    edit3_->setText(QString::fromStdString(r.nodes));
    edit4_->setText(QString::fromStdString(r.worklist));
    edit5_->setText(QString::fromStdString(r.mpps));
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
    r.acceptedUsers = edit2_->text().trimmed().toStdString();
    r.services = groupBox2_->isChecked();
    r.query = checkBox2_->isChecked();
    r.pending = static_cast<uint32_t>(spinEdit7_->value());
    r.commit = checkBox3_->isChecked();
    r.commitNewAssociation = checkBox4_->isChecked();
    r.nodes = edit3_->text().trimmed().toStdString();
    r.worklist = edit4_->text().trimmed().toStdString();
    r.mpps = edit5_->text().trimmed().toStdString();
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
