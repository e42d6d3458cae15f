// Under a real X server (xvfb-run): the window opens with its caption, its size and every
// control under its name. What is compared is the tree of controls, not pixels.
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "AppTest.h"
#include "tessaly.h"

namespace {

QString Shown(const QWidget* w) {
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
    if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
    if (auto* t = qobject_cast<const QTabWidget*>(w)) return t->tabText(0) + "|" + t->tabText(1);
    return w->windowTitle();
}

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT

  private slots:
    void opensWithItsControls() {
        QTemporaryDir dir;
        QDir::setCurrent(dir.path());
        app::AppValues values;
        app::TForm1 form(values);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // One line per control, under its window: the controls' names end in their number.
        QList<QWidget*> widgets = form.findChildren<QWidget*>();
        widgets << &form;
        QStringList tree;
        for (const QWidget* w : widgets) {
            const QString name = w->objectName();
            if (name.isEmpty() || !name[0].isUpper() || !name.back().isDigit()) continue;
            tree << QString("%1/%2 %3 \"%4\"%5")
                        .arg(w->window()->objectName(), name, w->metaObject()->className(),
                             Shown(w), w->isVisible() ? " visible" : "");
        }
        tree.sort();
        QCOMPARE(tree.join('\n') + '\n',
                 apptest::ReadFile(TESSALY_SOURCE_DIR "/tests/app/window-tree.txt"));

        // The X server has the window under its caption, at its size.
        QProcess import;
        import.start("import", {"-window", "- TESSALY V1.9", dir.filePath("window.png")});
        QVERIFY(import.waitForFinished(30000) && import.exitCode() == 0);
        QCOMPARE(QImage(dir.filePath("window.png")).size(), QSize(578, 433));
    }
};

QObject* NewScreenshotTest() {
    return new ScreenshotTest;
}

#include "ScreenshotTest.moc"
