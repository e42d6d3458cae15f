#include "Setup.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace app {
namespace {

QLineEdit* Edit(const char* name, std::size_t fieldSize, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(static_cast<int>(fieldSize - 1));
    return edit;
}

// A chooser takes typed text as well as a pick from its list; text that is no item of the
// list counts as no choice.
QComboBox* Chooser(const char* name, const ChoiceList& list, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    for (const auto& item : list.items)
        box->addItem(QString::fromLatin1(item));
    return box;
}

void ShowChoice(QComboBox* box, const ChoiceList& list, int32_t index) {
    if (index >= 0 && index < box->count()) {
        box->setCurrentIndex(index);
    } else {
        box->setCurrentIndex(-1);
        box->setEditText(QString::fromLatin1(list.placeholder));
    }
}

void AddRow(QFormLayout* form, const char* name, const char* caption, QWidget* field) {
    auto* label = new QLabel(caption, field->parentWidget());
    label->setObjectName(name);
    label->setBuddy(field);
    form->addRow(label, field);
}

int32_t Choice(const QComboBox* box) {
    return box->findText(box->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

}  // namespace

TForm2::TForm2(AppValues& values, QWidget* parent) : QDialog(parent), values_(values) {
    setObjectName("TForm2");
    setWindowTitle("Setup");

    auto* pages = new QTabWidget(this);
    pages->setObjectName("PageControl1");
    auto* network = new QWidget;
    network->setObjectName("TabSheet1");
    auto* printer = new QWidget;
    printer->setObjectName("TabSheet2");
    pages->addTab(network, "Network");
    pages->addTab(printer, "Printer");

    const Settings& s = values_.settings;
    edit4_ = Edit("Edit4", s.LocalAET.size(), network);
    edit2_ = Edit("Edit2", s.RemoteIP.size(), network);
    edit3_ = Edit("Edit3", s.RemotePort.size(), network);
    edit5_ = Edit("Edit5", s.RemoteAET.size(), network);
    comboBox1_ = Chooser("ComboBox1", LogLevelList(), network);
    auto* networkForm = new QFormLayout(network);
    AddRow(networkForm, "Label1", "Local AET:", edit4_);
    AddRow(networkForm, "Label2", "Remote IP Address:", edit2_);
    AddRow(networkForm, "Label3", "Remote Port Number:", edit3_);
    AddRow(networkForm, "Label4", "Remote AET:", edit5_);
    AddRow(networkForm, "Label5", "LOG level:", comboBox1_);
    comboBox6_ = Chooser("ComboBox6", KeyCharacterSetList(), network);
    AddRow(networkForm, "Label10", "Query Character Set:", comboBox6_);

    comboBox2_ = Chooser("ComboBox2", FilmDestinationList(), printer);
    comboBox3_ = Chooser("ComboBox3", FilmOrientationList(), printer);
    comboBox4_ = Chooser("ComboBox4", FilmSizeList(), printer);
    comboBox5_ = Chooser("ComboBox5", MagnificationTypeList(), printer);
    auto* printerForm = new QFormLayout(printer);
    AddRow(printerForm, "Label6", "Film Destination:", comboBox2_);
    AddRow(printerForm, "Label7", "Film Orientation:", comboBox3_);
    AddRow(printerForm, "Label8", "Film Size:", comboBox4_);
    AddRow(printerForm, "Label9", "Magnification Type:", comboBox5_);

    auto* buttons = new QDialogButtonBox(this);
    auto* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    ok->setObjectName("Button1");
    ok->setDefault(true);
    auto* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    cancel->setObjectName("Button2");
    connect(ok, &QPushButton::clicked, this, &TForm2::Save);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addWidget(buttons);

    LoadSettingsFiles(values_.WorkDir, values_.settings, values_.ini);
    const Settings& loaded = values_.settings;
    edit2_->setText(FieldQString(loaded.RemoteIP));
    edit3_->setText(FieldQString(loaded.RemotePort));
    edit4_->setText(FieldQString(loaded.LocalAET));
    edit5_->setText(FieldQString(loaded.RemoteAET));
    ShowChoice(comboBox1_, LogLevelList(), loaded.TraceLevel - 1);
    ShowChoice(comboBox2_, FilmDestinationList(), loaded.FilmDestination);
    ShowChoice(comboBox3_, FilmOrientationList(), loaded.FilmOrientation);
    ShowChoice(comboBox4_, FilmSizeList(), loaded.FilmSize);
    ShowChoice(comboBox5_, MagnificationTypeList(), loaded.MagnificationType);
    comboBox6_->setEditText(QString::fromLatin1(values_.ini.queryCharacterSet));
}

void TForm2::Save() {
    const std::string characterSet = comboBox6_->currentText().trimmed().toLatin1().toStdString();
    if (!IsKeyCharacterSet(characterSet)) {
        QMessageBox::warning(this, "Setup",
                             "\"" + comboBox6_->currentText() +
                                 "\" is no Specific Character Set the query keys can be written "
                                 "in: choose one of the list, or leave it empty.");
        return;
    }
    values_.ini.queryCharacterSet = characterSet;
    Settings& s = values_.settings;
    SetField(s.RemoteIP, edit2_->text());
    SetField(s.RemotePort, edit3_->text());
    SetField(s.LocalAET, edit4_->text());
    SetField(s.RemoteAET, edit5_->text());
    s.TraceLevel = Choice(comboBox1_) + 1;
    s.FilmDestination = Choice(comboBox2_);
    s.FilmOrientation = Choice(comboBox3_);
    s.FilmSize = Choice(comboBox4_);
    s.MagnificationType = Choice(comboBox5_);

    // The new values hold for this run whether or not they reach the files.
    const auto cfg = values_.WorkDir / SETTINGS_FILE_NAME;
    const auto ini = values_.WorkDir / INI_FILE_NAME;
    QString cfgError, iniError;
    const bool cfgSaved = SaveSettings(cfg, s, &cfgError);
    const bool iniSaved = SaveIniSettings(ini, values_.ini, &iniError);
    if (!cfgSaved || !iniSaved) {
        QMessageBox::warning(this, "Setup",
                             "The settings could not be saved to " +
                                 QString::fromStdString((cfgSaved ? ini : cfg).string()) + ": " +
                                 (cfgSaved ? iniError : cfgError) +
                                 "\nThey are used until the program ends.");
    }
    accept();
}

}  // namespace app
