// The Setup dialog, dovazuz.cfg and tessaly.ini: the file's bytes, reloading, damaged files, an
// unwritable folder, the character set an earlier version kept after the record.
#include <cstring>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "AppTest.h"
#include "Setup.h"

using apptest::Control;

namespace {

// The record as the file holds it: texts at 0, 128, 160, 288; five little-endian numbers from
// 416; every byte XOR 0x6B.
QByteArray FileBytes(const char* ip, const char* port, const char* local, const char* remote,
                     std::array<int32_t, 5> numbers) {
    QByteArray plain(436, '\0');
    std::memcpy(plain.data(), ip, std::strlen(ip));
    std::memcpy(plain.data() + 128, port, std::strlen(port));
    std::memcpy(plain.data() + 160, local, std::strlen(local));
    std::memcpy(plain.data() + 288, remote, std::strlen(remote));
    for (std::size_t i = 0; i < 20; ++i) {
        const auto number = static_cast<uint32_t>(numbers[i / 4]);
        plain[static_cast<qsizetype>(416 + i)] = static_cast<char>(number >> (8 * (i % 4)));
    }
    for (char& c : plain)
        c = static_cast<char>(c ^ 0x6B);
    return plain;
}

QStringList Texts(QWidget* dialog, std::initializer_list<const char*> names) {
    QStringList texts;
    for (const char* name : names) {
        auto* box = Control<QComboBox>(dialog, name);
        texts << (box ? box->currentText() : Control<QLineEdit>(dialog, name)->text());
    }
    return texts;
}

}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString File() const { return dir_.filePath("dovazuz.cfg"); }
    QString Ini() const { return dir_.filePath("tessaly.ini"); }
    std::unique_ptr<app::TForm2> Open(app::AppValues& values) {
        values.WorkDir = dir_.path().toStdString();
        return std::make_unique<app::TForm2>(values);
    }

    // What a newly made dialog shows as the Query Character Set.
    QString CharacterSetShown() {
        app::AppValues values;
        return Texts(Open(values).get(), {"ComboBox6"})[0];
    }

  private slots:
    void init() { QFile::remove(File()), QFile::remove(Ini()); }

    void savesTheRecordByteForByteAndReloadsIt() {
        app::AppValues values;
        auto setup = Open(values);
        QCOMPARE(Texts(setup.get(), {"Edit4", "Edit2", "Edit3", "Edit5", "ComboBox1", "ComboBox2",
                                     "ComboBox3", "ComboBox4", "ComboBox5"}),
                 QStringList({"local", "127.0.0.1", "104", "remote", "LOG level", "MAGAZINE",
                              "PORTRAIT", "14INX17IN", "REPLICATE"}));
        QVERIFY(!QFile::exists(File()));

        Control<QLineEdit>(setup.get(), "Edit2")->setText("pacs.example.org");
        Control<QLineEdit>(setup.get(), "Edit3")->setText("11112");
        Control<QLineEdit>(setup.get(), "Edit4")->setText(QString::fromLatin1("TESSALY\xE9"));
        Control<QLineEdit>(setup.get(), "Edit5")->setText("ARCHIVE1");
        Control<QComboBox>(setup.get(), "ComboBox1")->setCurrentIndex(2);
        Control<QComboBox>(setup.get(), "ComboBox2")->setEditText("BIN_9");  // typed, no item
        Control<QComboBox>(setup.get(), "ComboBox3")->setCurrentIndex(2);    // the empty item
        Control<QComboBox>(setup.get(), "ComboBox4")->setCurrentIndex(3);
        apptest::Click(setup.get(), "Button1");
        QCOMPARE(apptest::ReadFile(File()), FileBytes("pacs.example.org", "11112", "TESSALY\xE9",
                                                      "ARCHIVE1", {3, -1, 2, 3, 0}));

        // Bytes after a text's NUL stay as they were: a file read and saved comes back whole.
        QByteArray old = FileBytes("10.0.0.1", "104", "A", "B", {1, 4, 1, 0, 3});
        old[9] = static_cast<char>('x' ^ 0x6B);
        apptest::WriteFile(File(), old);
        app::AppValues again;
        auto reloaded = Open(again);
        QCOMPARE(Texts(reloaded.get(), {"ComboBox1", "ComboBox2"}),
                 QStringList({"No Log", "BIN_3"}));
        apptest::Click(reloaded.get(), "Button1");
        QCOMPARE(apptest::ReadFile(File()), old);
    }

    // The query character set lives in tessaly.ini: dovazuz.cfg stays its 436 bytes. A term
    // that is no character set is refused before anything is saved; the ini's keys of other
    // settings survive a save; a missing or damaged ini reads as the defaults.
    void keepsTheQueryCharacterSetInTheIniFile() {
        app::AppValues values;
        auto setup = Open(values);
        Control<QComboBox>(setup.get(), "ComboBox6")->setEditText("ISO_IR 999");
        QString warning;
        apptest::OnModal<QMessageBox>([&](QMessageBox* box) {
            warning = box->text();
            box->accept();
        });
        apptest::Click(setup.get(), "Button1");
        QVERIFY2(warning.contains("\"ISO_IR 999\" is no Specific Character Set"),
                 qPrintable(warning));
        QVERIFY(!QFile::exists(File()) && !QFile::exists(Ini()));
        apptest::WriteFile(Ini(), "[Connection]\nReceiveTimeout=60\n");
        Control<QComboBox>(setup.get(), "ComboBox6")->setEditText("\\ISO 2022 IR 87");
        apptest::Click(setup.get(), "Button1");
        const QByteArray record = FileBytes("127.0.0.1", "104", "local", "remote", {0, 0, 0, 0, 0});
        QCOMPARE(apptest::ReadFile(File()), record);
        QCOMPARE(QSettings(Ini(), QSettings::IniFormat).value("Connection/ReceiveTimeout"),
                 QVariant("60"));
        QCOMPARE(CharacterSetShown(), QString("\\ISO 2022 IR 87"));

        for (const QByteArray& damaged :
             {QByteArray("[Query\nCharacterSet=ISO_IR 100\n"), QByteArray("\0\xff[\x01=", 5),
              QByteArray("[Query]\nCharacterSet=ISO_IR 999\n")}) {
            apptest::WriteFile(Ini(), damaged);
            QCOMPARE(CharacterSetShown(), QString());
        }
        QFile::remove(Ini());
        QCOMPARE(CharacterSetShown(), QString());
        // A damaged file is replaced when the dialog saves.
        apptest::WriteFile(Ini(), "[Query\n");
        app::AppValues again;
        auto next = Open(again);
        Control<QComboBox>(next.get(), "ComboBox6")->setEditText("ISO_IR 192");
        apptest::Click(next.get(), "Button1");
        QCOMPARE(CharacterSetShown(), QString("ISO_IR 192"));
    }

    // The Connection page in tessaly.ini's [Connection], [TLS] and [Identity]: a value of the
    // wrong kind is refused before anything is saved; what is saved comes back; values a hand
    // got wrong read as the defaults.
    void keepsTheConnectionSettingsInTheIniFile() {
        app::AppValues values;
        auto setup = Open(values);
        const auto edit = [&](const char* name, const QString& text) {
            Control<QLineEdit>(setup.get(), name)->setText(text);
        };
        const auto check = [&](const char* name) {
            Control<QCheckBox>(setup.get(), name)->setChecked(true);
        };
        edit("Edit9", "1024");
        QString warning;
        apptest::OnModal<QMessageBox>([&](QMessageBox* box) {
            warning = box->text();
            box->accept();
        });
        apptest::Click(setup.get(), "Button1");
        QVERIFY2(warning.startsWith("\"1024\" is no maximum PDU length"), qPrintable(warning));
        QVERIFY(!QFile::exists(Ini()));

        edit("Edit6", "5");
        edit("Edit8", "600");
        edit("Edit9", "65536");
        check("CheckBox1");
        edit("Edit10", "/certs/ours.pem");
        edit("Edit11", "/certs/ours.key");
        edit("Edit13", "/certs/ca");
        Control<QComboBox>(setup.get(), "ComboBox7")->setCurrentIndex(2);
        QVERIFY(Control<QLabel>(setup.get(), "Label20")->isHidden());
        check("CheckBox2");
        QVERIFY(!Control<QLabel>(setup.get(), "Label20")->isHidden());
        Control<QComboBox>(setup.get(), "ComboBox8")->setCurrentIndex(2);
        edit("Edit14", "alice");
        apptest::OnModal<QMessageBox>([&](QMessageBox* box) {
            warning = box->text();
            box->accept();
        });
        apptest::Click(setup.get(), "Button1");
        QVERIFY2(warning.contains("the file whose first line is the password"),
                 qPrintable(warning));
        edit("Edit15", "/secrets/alice.pass");
        check("CheckBox3");
        apptest::Click(setup.get(), "Button1");

        const QSettings ini(Ini(), QSettings::IniFormat);
        const QStringList keys = {"Connection/ConnectTimeout",
                                  "Connection/AssociationTimeout",
                                  "Connection/ResponseTimeout",
                                  "Connection/MaxPdu",
                                  "TLS/Enabled",
                                  "TLS/Certificate",
                                  "TLS/Key",
                                  "TLS/KeyPasswordFile",
                                  "TLS/Trusted",
                                  "TLS/Profile",
                                  "TLS/NoVerify",
                                  "Identity/Kind",
                                  "Identity/User",
                                  "Identity/File",
                                  "Identity/PositiveResponse"};
        QStringList saved;
        for (const QString& key : keys)
            saved << ini.value(key).toString();
        QCOMPARE(saved, QStringList({"5", "0", "600", "65536", "true", "/certs/ours.pem",
                                     "/certs/ours.key", "", "/certs/ca", "bcp195-ex", "true",
                                     "password", "alice", "/secrets/alice.pass", "true"}));
        app::AppValues again;
        auto reloaded = Open(again);
        QCOMPARE(Texts(reloaded.get(),
                       {"Edit6", "Edit7", "Edit9", "Edit11", "ComboBox7", "Edit14", "Edit15"}),
                 QStringList({"5", "", "65536", "/certs/ours.key", "bcp195-ex", "alice",
                              "/secrets/alice.pass"}));
        QCOMPARE(again.ini.connection.identityKind, 2);
        QVERIFY(again.ini.connection.tls && again.ini.connection.tlsNoVerify);

        apptest::WriteFile(Ini(),
                           "[Connection]\nConnectTimeout=-3\nMaxPdu=100\n"
                           "[TLS]\nEnabled=perhaps\nProfile=ssl3\n[Identity]\nKind=root\n");
        app::AppValues hand;
        auto handWritten = Open(hand);
        QCOMPARE(Texts(handWritten.get(), {"Edit6", "Edit9", "ComboBox7", "ComboBox8"}),
                 QStringList({"", "", "bcp195-nd", "None"}));
        QVERIFY(!hand.ini.connection.tls);
    }

    // An earlier version kept the character set after the 436 bytes, masked and NUL-terminated:
    // read once, the value moves into tessaly.ini and the file is its 436 bytes again.
    void takesTheCharacterSetOverFromAnOldFile() {
        const QByteArray record = FileBytes("10.0.0.1", "104", "A", "B", {1, 4, 1, 0, 3});
        QByteArray tail("ISO_IR 144", 11);
        for (char& c : tail)
            c = static_cast<char>(c ^ 0x6B);
        apptest::WriteFile(File(), record + tail);
        QCOMPARE(CharacterSetShown(), QString("ISO_IR 144"));
        QCOMPARE(apptest::ReadFile(File()), record);
        QCOMPARE(CharacterSetShown(), QString("ISO_IR 144"));
    }

    void readsDamagedFilesSafely() {
        const QByteArray whole = FileBytes("10.1.1.1", "4242", "L", "R", {2, 1, 1, 1, 1});
        struct Case {
            QByteArray bytes;
            QStringList expected;  // Edit2, Edit3, ComboBox1, ComboBox4
        };
        QByteArray unterminated = whole;
        for (int i = 0; i < 416; ++i)
            unterminated[i] = static_cast<char>('A' ^ 0x6B);
        // Trace level 7 and film size 9 name no item; film destination -3 neither.
        unterminated.replace(416, 20, FileBytes("", "", "", "", {7, -3, 0, 9, 0}).mid(416));
        const Case cases[] = {
            {whole.left(435), {"127.0.0.1", "104", "LOG level", "14INX17IN"}},
            {whole + QByteArray(64, 'z'), {"10.1.1.1", "4242", "PDU Level", "14INX14IN"}},
            {unterminated, {QString(127, 'A'), QString(31, 'A'), "LOG level", "Film Size"}},
        };
        for (const Case& c : cases) {
            apptest::WriteFile(File(), c.bytes);
            app::AppValues values;
            auto setup = Open(values);
            QCOMPARE(Texts(setup.get(), {"Edit2", "Edit3", "ComboBox1", "ComboBox4"}), c.expected);
        }
        app::AppValues values;
        auto setup = Open(values);
        QCOMPARE(Texts(setup.get(), {"ComboBox2"}), QStringList({"Film Destination"}));
        apptest::Click(setup.get(), "Button1");
        const QByteArray saved = apptest::ReadFile(File());
        QCOMPARE(saved.size(), 436);
        QCOMPARE(saved.mid(416, 8), FileBytes("", "", "", "", {0, -1, 0, 0, 0}).mid(416, 8));
    }

    void warnsWhenTheFileCannotBeWrittenAndKeepsTheValues() {
        app::AppValues values;
        auto setup = Open(values);
        apptest::WriteFile(dir_.filePath("plain"), "not a folder");
        values.WorkDir = QDir(dir_.filePath("plain")).filePath("sub").toStdString();
        Control<QLineEdit>(setup.get(), "Edit5")->setText("ARCHIVE");
        QString warning;
        apptest::OnModal<QMessageBox>([&](QMessageBox* box) {
            warning = box->text();
            box->accept();
        });
        apptest::Click(setup.get(), "Button1");
        QVERIFY2(
            warning.contains(QString::fromStdString((values.WorkDir / "dovazuz.cfg").string())),
            qPrintable(warning));
        QCOMPARE(app::FieldText(values.settings.RemoteAET), std::string("ARCHIVE"));
    }
};

QObject* NewSettingsTest() {
    return new SettingsTest;
}

#include "SettingsTest.moc"
