#include "MainThread.h"

#include <exception>

#include "Text.h"

namespace app {
namespace {

// Hands the job's lines to the signals in blocks; Qt queues them for the GUI thread. A value
// from a peer cannot break its line: control characters show as '.'.
class SignalOutput : public JobOutput {
  public:
    explicit SignalOutput(MainThread& runner) : runner_(runner) {}
    void ClearMemo() override {
        Flush();
        emit runner_.MemoCleared();
    }
    void MemoLine(const std::string& text) override {
        block_ << QString::fromStdString(cli::Utf8ToTerminal(text));
        if (block_.size() >= MEMO_BLOCK_LINES) Flush();
    }
    void Flush() override {
        if (block_.isEmpty()) return;
        emit runner_.MemoLines(block_);
        block_.clear();
    }
    void ProbeReport(const std::string& html, const std::string& json) override {
        emit runner_.ProbeReportReady(QByteArray::fromStdString(html),
                                      QByteArray::fromStdString(json));
    }

  private:
    MainThread& runner_;
    QStringList block_;
};

}  // namespace

MainThread::MainThread(QObject* parent) : QObject(parent) {}

MainThread::~MainThread() {
    {
        std::lock_guard lock(mutex_);
        waiting_.clear();
    }
    if (worker_.joinable()) worker_.join();
}

void MainThread::Start(ServiceJob job) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(job));
    if (working_) return;
    // A worker that found no job left has given up the lock for the last time: joining it
    // here is immediate.
    if (worker_.joinable()) worker_.join();
    working_ = true;
    worker_ = std::thread([this] { Work(); });
}

bool MainThread::Busy() const {
    std::lock_guard lock(mutex_);
    return working_;
}

void MainThread::Work() {
    for (;;) {
        ServiceJob job;
        {
            std::lock_guard lock(mutex_);
            if (waiting_.empty()) {
                working_ = false;
                return;
            }
            job = std::move(waiting_.front());
            waiting_.pop_front();
        }
        SignalOutput out(*this);
        bool succeeded = false;
        auto report = [&](const char* what) {
            try {
                EndJobAfterError(job, what, out);
            } catch (...) {
                // Nothing is left to show it with; the next job still runs.
            }
        };
        try {
            succeeded = RunServiceJob(job, out);
        } catch (const std::exception& e) {
            report(e.what());
        } catch (...) {
            report("unknown exception");
        }
        try {
            out.Flush();
        } catch (...) {
            // The lines are lost, not the runner.
        }
        emit JobEnded(QString::fromStdString(job.Service), succeeded);
    }
}

}  // namespace app
