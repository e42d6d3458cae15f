// Exported print operations: thin wrappers over services/Print and services/PrintImage.
#include "ExportSettings.h"
#include "Guarded.h"
#include "net/TraceLog.h"
#include "services/Print.h"
#include "zedavura.h"

using namespace dicomlib;

namespace {

services::PrintLineSink ToSink(PrintLineSink sink, void* context) {
    if (sink == nullptr) return {};
    return [sink, context](const std::string& line) { sink(context, line.c_str()); };
}

}  // namespace

extern "C" ZEDAVURA_API uint8_t PrintSCUWithLines(const char* fileName, const char* host,
                                                  const char* port, const char* callingAeTitle,
                                                  const char* calledAeTitle,
                                                  const FilmSessionSettings* session,
                                                  const FilmBoxSettings* box, PrintLineSink sink,
                                                  void* context) {
    if (fileName == nullptr || host == nullptr || port == nullptr) return 0;
    return Guarded("PrintSCU", uint8_t{0}, [&] {
        const FilmSessionSettings noSession{};
        const FilmBoxSettings noBox{};
        const bool printed =
            services::PrintSCU(fileName, host, port, callingAeTitle ? callingAeTitle : "",
                               calledAeTitle ? calledAeTitle : "", session ? *session : noSession,
                               box ? *box : noBox, ToSink(sink, context));
        return static_cast<uint8_t>(printed ? 1 : 0);
    });
}

extern "C" ZEDAVURA_API uint8_t PrintSCUWith(const char* fileName, const ConnectionOptions* printer,
                                             const FilmSessionSettings* session,
                                             const FilmBoxSettings* box, PrintLineSink sink,
                                             void* context) {
    const auto settings = SettingsOf(printer);
    if (fileName == nullptr || !settings) return 0;
    return Guarded("PrintSCU", uint8_t{0}, [&] {
        const FilmSessionSettings noSession{};
        const FilmBoxSettings noBox{};
        return static_cast<uint8_t>(services::PrintSCU(fileName, *settings,
                                                       session ? *session : noSession,
                                                       box ? *box : noBox, ToSink(sink, context))
                                        ? 1
                                        : 0);
    });
}

extern "C" ZEDAVURA_API uint8_t PrintSCU(const char* fileName, const char* host, const char* port,
                                         const char* callingAeTitle, const char* calledAeTitle,
                                         const FilmSessionSettings* session,
                                         const FilmBoxSettings* box) {
    return PrintSCUWithLines(fileName, host, port, callingAeTitle, calledAeTitle, session, box,
                             nullptr, nullptr);
}

extern "C" ZEDAVURA_API uint8_t PrintPreview(const char* fileName, const char* bitmapFileName,
                                             PrintLineSink sink, void* context) {
    if (fileName == nullptr || bitmapFileName == nullptr) return 0;
    return Guarded("PrintPreview", uint8_t{0}, [&] {
        const auto lines = services::WritePrintPreview(fileName, bitmapFileName);
        for (const std::string& line : lines) {
            net::WriteLogLine(line);
            if (sink != nullptr) sink(context, line.c_str());
        }
        return static_cast<uint8_t>(lines.empty() ? 1 : 0);
    });
}
