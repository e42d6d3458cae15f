// The application object and the program's run: start-up, the message loop, and the end.
#pragma once

#include <exception>
#include <functional>

#include <QApplication>
#include <QString>

namespace app {

class TForm1;

// Shows an error that an event handler let through, in a box that does not stop the loop.
void ShowException(const QString& what);

// Wraps an event handler so that an exception it throws is shown and the program goes on.
template <typename Handler>
auto Shielded(Handler handler) {
    return [handler]() {
        try {
            handler();
        } catch (const std::exception& e) {
            ShowException(QString::fromLocal8Bit(e.what()));
        } catch (...) {
            ShowException("unknown exception");
        }
    };
}

// Shows what an event handler throws, and goes on.
class TessalyApplication : public QApplication {
  public:
    TessalyApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Runs the program: the application titled "TESSALY", the main window and its dialogs, the
// loop until the window closes. started, when given, is called once the window is shown.
int RunTessaly(int argc, char** argv, const std::function<void(TForm1&)>& started = {});

}  // namespace app
