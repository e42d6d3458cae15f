// The main window: one button per action, the result memo, the Receive panel beside it on a tab
// of its own, and the file choosers. Network actions (the probe among them) become jobs of the
// service runner; Dump, saving the probe's report and the dialogs run here, on the GUI thread,
// and the Receive button starts and stops the storage provider of the panel.
#pragma once

#include <deque>

#include <QByteArray>
#include <QStringList>
#include <QWidget>

#include "AppValues.h"
#include "MainThread.h"

class QFileDialog;
class QPlainTextEdit;
class QTabWidget;
class QTimer;
class QToolButton;

namespace app {

class ReceivePanel;
class TForm2;
class TForm3;
class TForm4;

class TForm1 : public QWidget {
    Q_OBJECT

  public:
    // Takes the working directory of the process as WorkDir, then makes the dialogs (the
    // Setup dialog loads the settings).
    explicit TForm1(AppValues& values, QWidget* parent = nullptr);

    // True while a job runs or waits.
    bool JobRunning() const { return runner_.Busy(); }

  private:
    void Dump();
    void Setup();
    void Echo();
    void Store();
    // Query and Worklist: the filter keys, and a warning when there are none.
    void Query(const char* service);
    void Print();
    void Probe();
    // The last probe's report, as an HTML page or as JSON (by the name's suffix, else by the
    // chosen filter).
    void SaveReport();
    void About();
    void Banner();
    ServiceJob NewJob(const char* service) const;
    // A file from OpenDialog1; empty when the operator cancels.
    QString ChooseFile();
    // The runner's lines: a block arriving while none waits is shown at once; blocks that
    // arrive meanwhile wait and are shown one per turn of the event loop, so a long listing
    // leaves the window responsive.
    void MemoLines(const QStringList& lines);
    void FeedMemo();
    void ClearMemo();

    AppValues& values_;
    MainThread runner_;
    QPlainTextEdit* memo1_;
    QTabWidget* pageControl1_;  // the memo's tab, "Results", and the Receive panel's
    ReceivePanel* receive_;
    std::deque<QStringList> memoWaiting_;
    QTimer* memoFeed_;
    QFileDialog* openDialog1_;
    QFileDialog* saveDialog1_;
    QToolButton* bitBtn12_;  // Save Report...: enabled once a probe has ended
    QByteArray reportHtml_, reportJson_;
    TForm2* setup_;
    TForm3* queryFilter_;
    TForm4* transferSyntax_;
};

}  // namespace app
