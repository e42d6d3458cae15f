// The window's storage provider: started in the process with the Receive panel's settings and
// the Setup's connection settings (waits, maximum PDU length, TLS), stopped as tessaly-cli scp
// stops (what has arrived is stored and answered first). What it sees comes from the threads
// serving the associations; each line goes to the daily log ("RECEIVE") there and to the GUI
// thread through a queued signal. Starting and the outcome lines are the GUI thread's.
#pragma once

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QString>

#include "IniSettings.h"
#include "NetLine.h"

namespace app {

class Receiver : public QObject {
    Q_OBJECT

  public:
    explicit Receiver(QObject* parent = nullptr);
    // Stops a provider still running, and waits for one stopping.
    ~Receiver() override;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Starts the provider, with files into receive.folder (relative to workDir) and the daily
    // log in workDir; false, with the failure line and why sent as lines, when it is not
    // listening.
    bool Start(const ReceiveIni& receive, const ConnectionIni& connection,
               const std::filesystem::path& workDir);
    // Returns at once; the provider stops on a thread of its own, then Stopped.
    void Stop();

  signals:
    // A line for the panel's list, UTF-8.
    void Line(const QString& line);
    void Stopped();

  private:
    static void Tell(void* context, const ProviderEvent* event);
    // The line into the daily log, then the list.
    void Say(const std::string& line);

    std::filesystem::path log_;
    bool running_ = false;
    std::thread stopping_;
};

}  // namespace app
