#include "Setup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
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

// A file name field with a button that picks the file in a dialog (a folder is typed).
QWidget* FileField(QLineEdit* edit, const char* buttonName) {
    auto* row = new QWidget(edit->parentWidget());
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    edit->setParent(row);
    auto* pick = new QToolButton(row);
    pick->setObjectName(buttonName);
    pick->setText("...");
    layout->addWidget(edit, 1);
    layout->addWidget(pick);
    QObject::connect(pick, &QToolButton::clicked, row, [edit] {
        const QString chosen =
            QFileDialog::getOpenFileName(edit->window(), "Choose a file", edit->text());
        if (!chosen.isEmpty()) edit->setText(chosen);
    });
    return row;
}

QLineEdit* NumberEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(6);
    edit->setPlaceholderText("default");
    return edit;
}

QString NumberText(uint32_t value) {
    return value == 0 ? QString() : QString::number(value);
}

// An empty field is 0 (the default); otherwise a whole number from lowest to highest.
bool TakeNumber(QWidget* dialog, const QLineEdit* edit, const char* what, uint32_t lowest,
                uint32_t highest, uint32_t& value) {
    const QString text = edit->text().trimmed();
    if (text.isEmpty()) {
        value = 0;
        return true;
    }
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok);
    if (ok && number >= lowest && number <= highest) {
        value = static_cast<uint32_t>(number);
        return true;
    }
    QMessageBox::warning(dialog, "Setup",
                         QString("\"%1\" is no %2: give a whole number from %3 to %4, or leave it "
                                 "empty for the default.")
                             .arg(text, what)
                             .arg(lowest)
                             .arg(highest));
    return false;
}

std::string Path(const QLineEdit* edit) {
    return edit->text().trimmed().toStdString();
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
    pages->addTab(ConnectionPage(), "Connection");

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
    ShowConnection(values_.ini.connection);
}

QWidget* TForm2::ConnectionPage() {
    auto* page = new QWidget;
    page->setObjectName("TabSheet3");
    auto* form = new QFormLayout(page);
    edit6_ = NumberEdit("Edit6", page);
    edit7_ = NumberEdit("Edit7", page);
    edit8_ = NumberEdit("Edit8", page);
    edit9_ = NumberEdit("Edit9", page);
    AddRow(form, "Label11", "Connect time-out (s):", edit6_);
    AddRow(form, "Label12", "Association time-out (s):", edit7_);
    AddRow(form, "Label13", "Response time-out (s):", edit8_);
    AddRow(form, "Label14", "Maximum PDU length:", edit9_);

    checkBox1_ = new QCheckBox("Secure the connection with TLS", page);
    checkBox1_->setObjectName("CheckBox1");
    form->addRow(checkBox1_);
    const auto fileEdit = [page](const char* name) {
        auto* edit = new QLineEdit(page);
        edit->setObjectName(name);
        return edit;
    };
    edit10_ = fileEdit("Edit10");
    edit11_ = fileEdit("Edit11");
    edit12_ = fileEdit("Edit12");
    edit13_ = fileEdit("Edit13");
    QWidget* rows[] = {FileField(edit10_, "Button3"), FileField(edit11_, "Button4"),
                       FileField(edit12_, "Button5"), FileField(edit13_, "Button6")};
    AddRow(form, "Label15", "Our certificate (PEM):", rows[0]);
    AddRow(form, "Label16", "Our private key (PEM):", rows[1]);
    AddRow(form, "Label17", "Key pass phrase file:", rows[2]);
    AddRow(form, "Label18", "Trusted CA file or folder:", rows[3]);
    comboBox7_ = new QComboBox(page);
    comboBox7_->setObjectName("ComboBox7");
    for (const std::string& name : TlsProfileNames())
        comboBox7_->addItem(QString::fromStdString(name));
    AddRow(form, "Label19", "TLS profile:", comboBox7_);
    checkBox2_ = new QCheckBox("Accept any peer certificate (no verification)", page);
    checkBox2_->setObjectName("CheckBox2");
    form->addRow(checkBox2_);
    label20_ = new QLabel(
        "Warning: the peer's certificate is not checked, so anyone on the way can pose as the "
        "peer and read what is sent.",
        page);
    label20_->setObjectName("Label20");
    label20_->setWordWrap(true);
    label20_->setStyleSheet("color: #a00000;");
    form->addRow(label20_);

    comboBox8_ = new QComboBox(page);
    comboBox8_->setObjectName("ComboBox8");
    comboBox8_->addItems({"None", "User name", "User name and password", "Kerberos ticket",
                          "SAML assertion", "JSON Web Token"});
    AddRow(form, "Label21", "User identity:", comboBox8_);
    edit14_ = fileEdit("Edit14");
    AddRow(form, "Label22", "User name:", edit14_);
    edit15_ = fileEdit("Edit15");
    AddRow(form, "Label23", "Password or token file:", FileField(edit15_, "Button7"));
    checkBox3_ = new QCheckBox("Ask the peer to confirm the identity", page);
    checkBox3_->setObjectName("CheckBox3");
    form->addRow(checkBox3_);

    const auto enable = [this] {
        const bool tls = checkBox1_->isChecked();
        for (QWidget* w : {static_cast<QWidget*>(edit10_), static_cast<QWidget*>(edit11_),
                           static_cast<QWidget*>(edit12_), static_cast<QWidget*>(edit13_),
                           static_cast<QWidget*>(comboBox7_), static_cast<QWidget*>(checkBox2_)})
            w->setEnabled(tls);
        label20_->setVisible(tls && checkBox2_->isChecked());
        const int kind = comboBox8_->currentIndex();
        edit14_->setEnabled(kind == USER_IDENTITY_USERNAME ||
                            kind == USER_IDENTITY_USERNAME_PASSCODE);
        edit15_->setEnabled(kind >= USER_IDENTITY_USERNAME_PASSCODE);
        checkBox3_->setEnabled(kind != 0);
    };
    connect(checkBox1_, &QCheckBox::toggled, this, enable);
    connect(checkBox2_, &QCheckBox::toggled, this, enable);
    connect(comboBox8_, &QComboBox::currentIndexChanged, this, enable);
    enable();
    return page;
}

void TForm2::ShowConnection(const ConnectionIni& c) {
    edit6_->setText(NumberText(c.connectTimeout));
    edit7_->setText(NumberText(c.associationTimeout));
    edit8_->setText(NumberText(c.responseTimeout));
    edit9_->setText(NumberText(c.maxPdu));
    edit10_->setText(QString::fromStdString(c.tlsCertificate));
    edit11_->setText(QString::fromStdString(c.tlsKey));
    edit12_->setText(QString::fromStdString(c.tlsKeyPasswordFile));
    edit13_->setText(QString::fromStdString(c.tlsTrusted));
    comboBox7_->setCurrentIndex(c.tlsProfile);
    checkBox2_->setChecked(c.tlsNoVerify);
    checkBox1_->setChecked(c.tls);
    comboBox8_->setCurrentIndex(c.identityKind);
    edit14_->setText(QString::fromStdString(c.identityUser));
    edit15_->setText(QString::fromStdString(c.identityFile));
    checkBox3_->setChecked(c.identityResponse);
}

bool TForm2::TakeConnection(ConnectionIni& c) {
    constexpr uint32_t DAY = 86400;
    if (!TakeNumber(this, edit6_, "connect time-out", 1, DAY, c.connectTimeout) ||
        !TakeNumber(this, edit7_, "association time-out", 1, DAY, c.associationTimeout) ||
        !TakeNumber(this, edit8_, "response time-out", 1, DAY, c.responseTimeout) ||
        !TakeNumber(this, edit9_, "maximum PDU length", 4096, 131072, c.maxPdu))
        return false;
    c.tls = checkBox1_->isChecked();
    c.tlsCertificate = Path(edit10_);
    c.tlsKey = Path(edit11_);
    c.tlsKeyPasswordFile = Path(edit12_);
    c.tlsTrusted = Path(edit13_);
    c.tlsProfile = comboBox7_->currentIndex();
    c.tlsNoVerify = checkBox2_->isChecked();
    c.identityKind = comboBox8_->currentIndex();
    c.identityUser = edit14_->text().trimmed().toStdString();
    c.identityFile = Path(edit15_);
    c.identityResponse = checkBox3_->isChecked();
    QString problem;
    if (c.tls && c.tlsCertificate.empty() != c.tlsKey.empty())
        problem = "Our certificate and our private key go together: give both, or neither.";
    else if (c.tls && !c.tlsKeyPasswordFile.empty() && c.tlsKey.empty())
        problem = "A key pass phrase file goes with our private key.";
    else if ((c.identityKind == USER_IDENTITY_USERNAME ||
              c.identityKind == USER_IDENTITY_USERNAME_PASSCODE) &&
             c.identityUser.empty())
        problem = "The user identity needs a user name.";
    else if (c.identityKind >= USER_IDENTITY_USERNAME_PASSCODE && c.identityFile.empty())
        problem = c.identityKind == USER_IDENTITY_USERNAME_PASSCODE
                      ? "The user identity needs the file whose first line is the password."
                      : "The user identity needs the file that holds the token.";
    if (problem.isEmpty()) return true;
    QMessageBox::warning(this, "Setup", problem);
    return false;
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
    ConnectionIni connection;
    if (!TakeConnection(connection)) return;
    values_.ini.queryCharacterSet = characterSet;
    values_.ini.connection = connection;
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
