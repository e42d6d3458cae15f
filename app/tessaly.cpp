#include "tessaly.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "Application.h"
#include "FrontEnd.h"
#include "Qfilter.h"
#include "ReceivePanel.h"
#include "Setup.h"
#include "Text.h"
#include "Tsselect.h"
#include "zedavura.h"

namespace app {
namespace {

constexpr const char* BANNER_ADDRESS = "https://www.dicomstandard.org/current";
constexpr const char* REPORT_HTML_FILTER = "HTML page (*.html)";
constexpr const char* REPORT_JSON_FILTER = "JSON (*.json)";

QToolButton* Button(const char* name, const QString& hint, QStyle::StandardPixmap icon,
                    QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(hint);
    button->setToolTip(hint);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setIconSize(QSize(24, 24));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return button;
}

QPixmap BannerPicture(const QString& version) {
    QPixmap picture(400, 36);
    QPainter painter(&picture);
    QLinearGradient shade(0, 0, picture.width(), 0);
    shade.setColorAt(0, QColor(0x1d, 0x3c, 0x5a));
    shade.setColorAt(1, QColor(0x3f, 0x7c, 0x9c));
    painter.fillRect(picture.rect(), shade);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setBold(true);
    painter.setFont(font);
    const QRect text = picture.rect().adjusted(10, 0, -10, 0);
    painter.drawText(text, Qt::AlignVCenter | Qt::AlignLeft, "TESSALY  DICOM connectivity tester");
    font.setBold(false);
    painter.setFont(font);
    painter.drawText(text, Qt::AlignVCenter | Qt::AlignRight, "ZEDAVURA " + version);
    return picture;
}

QString LibraryVersion() {
    char buffer[16] = {};
    return QString::fromLatin1(Version(buffer));
}

}  // namespace

TForm1::TForm1(AppValues& values, QWidget* parent)
    : QWidget(parent), values_(values), runner_(this) {
    setObjectName("TForm1");
    runner_.setObjectName("MainThread");
    setWindowTitle("- TESSALY V1.9");
    resize(578, 433);
    values_.WorkDir = std::filesystem::current_path();

    auto* bitBtn2 = Button("BitBtn2", "Setup", QStyle::SP_FileDialogDetailedView, this);
    auto* bitBtn1 = Button("BitBtn1", "Dump DICOM File", QStyle::SP_FileIcon, this);
    auto* bitBtn3 = Button("BitBtn3", "About", QStyle::SP_MessageBoxInformation, this);
    auto* bitBtn4 = Button("BitBtn4", "Echo - Verification", QStyle::SP_BrowserReload, this);
    auto* bitBtn6 = Button("BitBtn6", "Store to PACS", QStyle::SP_ArrowUp, this);
    auto* bitBtn7 = Button("BitBtn7", "Query PACS", QStyle::SP_FileDialogContentsView, this);
    auto* bitBtn8 = Button("BitBtn8", "Query WorkList", QStyle::SP_FileDialogListView, this);
    auto* bitBtn9 = Button("BitBtn9", "DICOM Print", QStyle::SP_DialogSaveButton, this);
    auto* bitBtn11 = Button("BitBtn11", "Probe", QStyle::SP_DriveNetIcon, this);
    bitBtn12_ = Button("BitBtn12", "Save Report...", QStyle::SP_DriveFDIcon, this);
    bitBtn12_->setToolTip("Save the last probe's report as an HTML page or as JSON");
    bitBtn12_->setEnabled(false);
    auto* bitBtn13 = Button("BitBtn13", "Receive", QStyle::SP_ArrowDown, this);
    bitBtn13->setToolTip(
        "Receive images: start the storage provider of the Receive panel, or "
        "stop it");
    bitBtn13->setCheckable(true);
    auto* bitBtn5 = Button("BitBtn5", "End Application", QStyle::SP_DialogCloseButton, this);
    for (QToolButton* b : {bitBtn2, bitBtn1, bitBtn3, bitBtn5})
        b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    auto* bitBtn10 = new QToolButton(this);
    bitBtn10->setObjectName("BitBtn10");
    const QPixmap banner = BannerPicture(LibraryVersion());
    bitBtn10->setIcon(banner);
    bitBtn10->setIconSize(banner.size());
    bitBtn10->setToolTip(BANNER_ADDRESS);
    bitBtn10->setAutoRaise(true);

    memo1_ = new QPlainTextEdit(this);
    memo1_->setObjectName("Memo1");
    memo1_->setReadOnly(true);
    memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo1_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    pageControl1_ = new QTabWidget(this);
    pageControl1_->setObjectName("PageControl1");
    pageControl1_->addTab(memo1_, "Results");
    receive_ = new ReceivePanel(values_, bitBtn13, pageControl1_);
    receive_->setObjectName("ReceivePanel");
    pageControl1_->addTab(receive_, "Receive");
    memoFeed_ = new QTimer(this);
    memoFeed_->setInterval(0);
    connect(memoFeed_, &QTimer::timeout, this, &TForm1::FeedMemo);

    openDialog1_ = new QFileDialog(this);
    openDialog1_->setObjectName("OpenDialog1");
    openDialog1_->setOption(QFileDialog::DontUseNativeDialog);
    openDialog1_->setFileMode(QFileDialog::ExistingFile);
    openDialog1_->setAcceptMode(QFileDialog::AcceptOpen);
    // "*" rather than "*.*": on this platform "*.*" hides names without a dot, such as the
    // IM000001 files of DICOMDIR media.
    openDialog1_->setNameFilters({"All Files (*)", "DICOM Files (*.dcm)"});

    saveDialog1_ = new QFileDialog(this);
    saveDialog1_->setObjectName("SaveDialog1");
    saveDialog1_->setWindowTitle("Save Report");
    saveDialog1_->setOption(QFileDialog::DontUseNativeDialog);
    saveDialog1_->setAcceptMode(QFileDialog::AcceptSave);
    saveDialog1_->setNameFilters({REPORT_HTML_FILTER, REPORT_JSON_FILTER});
    saveDialog1_->setDefaultSuffix("html");
    connect(saveDialog1_, &QFileDialog::filterSelected, saveDialog1_, [this](const QString& f) {
        saveDialog1_->setDefaultSuffix(f == REPORT_JSON_FILTER ? "json" : "html");
    });

    auto* top = new QHBoxLayout;
    top->addWidget(bitBtn2);
    top->addStretch();
    top->addWidget(bitBtn1);
    top->addWidget(bitBtn3);
    auto* actions = new QVBoxLayout;
    for (QToolButton* b :
         {bitBtn4, bitBtn6, bitBtn7, bitBtn8, bitBtn9, bitBtn11, bitBtn12_, bitBtn13})
        actions->addWidget(b);
    actions->addStretch();
    auto* middle = new QHBoxLayout;
    middle->addLayout(actions);
    middle->addWidget(pageControl1_, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(bitBtn10);
    bottom->addStretch();
    bottom->addWidget(bitBtn5);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(middle, 1);
    layout->addLayout(bottom);

    setup_ = new TForm2(values_, this);
    queryFilter_ = new TForm3(values_, this);
    transferSyntax_ = new TForm4(values_, this);
    receive_->ShowSettings();  // read with the Setup's files

    connect(bitBtn1, &QToolButton::clicked, this, Shielded([this] { Dump(); }));
    connect(bitBtn2, &QToolButton::clicked, this, Shielded([this] { Setup(); }));
    connect(bitBtn3, &QToolButton::clicked, this, Shielded([this] { About(); }));
    connect(bitBtn4, &QToolButton::clicked, this, Shielded([this] { Echo(); }));
    connect(bitBtn6, &QToolButton::clicked, this, Shielded([this] { Store(); }));
    connect(bitBtn7, &QToolButton::clicked, this, Shielded([this] { Query("FIND"); }));
    connect(bitBtn8, &QToolButton::clicked, this, Shielded([this] { Query("WORKLIST"); }));
    connect(bitBtn9, &QToolButton::clicked, this, Shielded([this] { Print(); }));
    connect(bitBtn11, &QToolButton::clicked, this, Shielded([this] { Probe(); }));
    connect(bitBtn12_, &QToolButton::clicked, this, Shielded([this] { SaveReport(); }));
    connect(bitBtn5, &QToolButton::clicked, this, &QWidget::close);
    connect(bitBtn10, &QToolButton::clicked, this, Shielded([this] { Banner(); }));
    connect(bitBtn13, &QToolButton::toggled, this, [this](bool on) {
        if (on) pageControl1_->setCurrentWidget(receive_);
    });
    connect(&runner_, &MainThread::MemoCleared, this, &TForm1::ClearMemo);
    connect(&runner_, &MainThread::MemoLines, this, &TForm1::MemoLines);
    connect(&runner_, &MainThread::ProbeReportReady, this,
            [this](const QByteArray& html, const QByteArray& json) {
                reportHtml_ = html;
                reportJson_ = json;
                bitBtn12_->setEnabled(true);
            });
}

void TForm1::MemoLines(const QStringList& lines) {
    if (memoWaiting_.empty() && !memoFeed_->isActive()) {
        memo1_->appendPlainText(lines.join('\n'));
        memoFeed_->start();  // blocks that come before the next turn wait for it
        return;
    }
    memoWaiting_.push_back(lines);
    memoFeed_->start();
}

void TForm1::FeedMemo() {
    if (memoWaiting_.empty()) {
        memoFeed_->stop();
        return;
    }
    memo1_->appendPlainText(memoWaiting_.front().join('\n'));
    memoWaiting_.pop_front();
}

void TForm1::ClearMemo() {
    pageControl1_->setCurrentWidget(memo1_);  // a job's lines are shown as it starts
    memoWaiting_.clear();
    memoFeed_->stop();
    memo1_->clear();
}

ServiceJob TForm1::NewJob(const char* service) const {
    ServiceJob job;
    job.Service = service;
    job.settings = values_.settings;
    job.ini = values_.ini;
    job.WorkDir = values_.WorkDir;
    job.PatientFilter = values_.PatientFilter.toUtf8().toStdString();
    job.DateFilter = values_.DateFilter.toUtf8().toStdString();
    return job;
}

QString TForm1::ChooseFile() {
    if (openDialog1_->exec() != QDialog::Accepted) return {};
    const QStringList files = openDialog1_->selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

void TForm1::Dump() {
    ClearMemo();
    const QString file = ChooseFile();
    if (file.isEmpty()) return;
    QStringList lines;
    const bool read = cli::DumpFileLines(
        QFile::encodeName(file).toStdString(),
        [&](const char* line) { lines << QString::fromStdString(cli::Utf8ToTerminal(line)); });
    if (!read) lines << "Dump Failed!";
    // One block: a large file's lines would otherwise be laid out one by one.
    memo1_->appendPlainText(lines.join('\n'));
}

void TForm1::Setup() {
    setup_->exec();
}

void TForm1::Echo() {
    runner_.Start(NewJob("ECHO"));
}

// The transfer syntax and the file are chosen here, on the GUI thread, before the job is
// queued; a cancelled file choice still runs the job, which then fails without sending.
void TForm1::Store() {
    ServiceJob job = NewJob("STORE");
    transferSyntax_->exec();
    job.TransferSyntax = TransferSyntaxForChoice(values_.TransferSyntaxChoice);
    job.fileName = QFile::encodeName(ChooseFile()).toStdString();
    runner_.Start(std::move(job));
}

void TForm1::Query(const char* service) {
    values_.PatientFilter.clear();
    values_.DateFilter.clear();
    queryFilter_->exec();
    if (values_.PatientFilter.isEmpty() && values_.DateFilter.isEmpty()) {
        QMessageBox warning(QMessageBox::Warning, "WARNING",
                            "Have no filters\nSearch can take very long",
                            QMessageBox::Ok | QMessageBox::Cancel, this);
        warning.setObjectName("NoFilterWarning");
        if (warning.exec() != QMessageBox::Ok) return;
    }
    runner_.Start(NewJob(service));
}

// The file is chosen here, on the GUI thread, before the job is queued; a cancelled choice
// still runs the job, which then fails without sending.
void TForm1::Print() {
    ServiceJob job = NewJob("PRINT");
    job.fileName = QFile::encodeName(ChooseFile()).toStdString();
    runner_.Start(std::move(job));
}

void TForm1::Probe() {
    runner_.Start(NewJob("PROBE"));
}

void TForm1::SaveReport() {
    if (saveDialog1_->exec() != QDialog::Accepted || saveDialog1_->selectedFiles().isEmpty())
        return;
    const QString file = saveDialog1_->selectedFiles().first();
    // A name typed with its suffix wins over the filter left chosen.
    const QString suffix = QFileInfo(file).suffix().toLower();
    const bool json = suffix == "json" || (suffix != "html" && saveDialog1_->selectedNameFilter() ==
                                                                   REPORT_JSON_FILTER);
    const QByteArray& report = json ? reportJson_ : reportHtml_;
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(report) != report.size() || !out.commit())
        QMessageBox::warning(this, "Save Report",
                             "The report could not be saved to " + file + ": " + out.errorString());
}

void TForm1::About() {
    QMessageBox box(QMessageBox::Information, "About",
                    "TESSALY V1.9\nDICOM connectivity tester\n\nZEDAVURA DICOM library version " +
                        LibraryVersion() +
                        "\n\nA tool for testing DICOM connections; it is not meant for "
                        "diagnosis.\nSend test images only to peers you may send them to.",
                    QMessageBox::Ok, this);
    box.setObjectName("AboutBox");
    box.exec();
}

void TForm1::Banner() {
    QDesktopServices::openUrl(QUrl(BANNER_ADDRESS));
}

}  // namespace app
