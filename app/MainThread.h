// The service runner: one worker thread that runs the jobs of the main window one after
// another, in the order of the button presses. The worker touches no widget: it sends the
// memo's lines to the GUI thread through queued signals, which keep their order, in blocks of
// up to MEMO_BLOCK_LINES lines (a query can list a hundred thousand lines), each job's last
// block before JobEnded. The thread is started when a job arrives and ends when none is left.
#pragma once

#include <deque>
#include <mutex>
#include <thread>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include "ServiceJob.h"

namespace app {

constexpr qsizetype MEMO_BLOCK_LINES = 2000;

class MainThread : public QObject {
    Q_OBJECT

  public:
    explicit MainThread(QObject* parent = nullptr);
    // Drops the jobs still waiting and waits for the running one: a job waiting on a peer
    // ends the process instead (see RunTessaly), since a running thread cannot be destroyed.
    ~MainThread() override;
    MainThread(const MainThread&) = delete;
    MainThread& operator=(const MainThread&) = delete;

    // Queues the job; it runs once the jobs pressed before it have ended.
    void Start(ServiceJob job);
    // True while a job runs or waits.
    bool Busy() const;

  signals:
    void MemoCleared();
    void MemoLines(const QStringList& lines);
    // A probe's report, as the HTML page and the JSON document, before its JobEnded.
    void ProbeReportReady(const QByteArray& html, const QByteArray& json);
    void JobEnded(const QString& service, bool succeeded);

  private:
    void Work();

    mutable std::mutex mutex_;
    std::deque<ServiceJob> waiting_;
    bool working_ = false;
    std::thread worker_;
};

}  // namespace app
