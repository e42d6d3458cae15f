// DCMTK's providers as test peers: each runs in a folder of its own on a free loopback port
// with a configuration written here, and is stopped by its PID. The DCMTK tools run with
// TCP_NODELAY=1, as this system's own sockets do.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

extern const std::vector<std::string> NO_DELAY;

// dcmqrscp with one storage area, called AE title ARCHIVE, any calling AE; C-MOVE destinations
// as (AE title, port) on 127.0.0.1. The default mode, one process per association: the
// single-process mode of some DCMTK releases dies after its first association.
class Dcmqrscp {
  public:
    explicit Dcmqrscp(const std::vector<std::pair<std::string, uint16_t>>& destinations = {});
    bool Ready() const { return WaitForListener(port_); }
    uint16_t Port() const { return port_; }
    std::string Output() const { return process_->Output(); }
    // Stores the files with storescu; the error output when it fails, else empty.
    std::string Fill(const std::vector<fs::path>& files) const;

  private:
    TempDir dir_;
    uint16_t port_ = FreePort();
    std::unique_ptr<BackgroundProcess> process_;
};

// One worklist entry: patient name, patient ID, step start date and modality, and the
// Specific Character Set the name's bytes are in; the rest is fixed (station AE title
// "<modality>01", step start time 093000, performing physician WILSON^J, birth date 19700101,
// sex O).
struct WorklistEntry {
    std::string name, id, date, modality;
    std::string characterSet = "ISO_IR 100";
};

// The entries as .wl files in folder, made with dump2dcm; the error output when that fails.
std::string WriteWorklist(const fs::path& folder, const std::vector<WorklistEntry>& entries);

// wlmscpfs serving entries under called AE title WLM; with the Specific Character Set of each
// entry's file in its response when any entry is in another set than ISO_IR 100.
class Wlmscpfs {
  public:
    explicit Wlmscpfs(const std::vector<WorklistEntry>& entries);
    bool Ready() const { return written_.empty() && WaitForListener(port_); }
    uint16_t Port() const { return port_; }
    std::string Output() const { return written_ + (process_ ? process_->Output() : ""); }

  private:
    TempDir dir_;
    uint16_t port_ = FreePort();
    std::string written_;
    std::unique_ptr<BackgroundProcess> process_;
};

// dcmprscp, called AE title PRINTER: it keeps each image box it receives as a Hardcopy
// Grayscale file (HG_*.dcm) and each printed film as a Stored Print file (SP_*.dcm) in its
// database folder. It offers the film sizes, magnifications and destinations of the window,
// densities 20 to 320, and the medium types given.
class Dcmprscp {
  public:
    explicit Dcmprscp(const std::string& mediumTypes = "PAPER\\CLEAR FILM\\BLUE FILM");
    ~Dcmprscp() { process_->Stop(9); }  // its files are written before it answers
    bool Ready() const { return WaitForListener(port_); }
    uint16_t Port() const { return port_; }
    std::string Output() const { return process_->Output(); }
    const fs::path& Dir() const { return dir_.Path(); }
    // The files of the database whose names start with prefix, new since the last call.
    std::vector<fs::path> NewFiles(const std::string& prefix);

  private:
    TempDir dir_;
    uint16_t port_ = FreePort();
    std::unique_ptr<BackgroundProcess> process_;
    std::set<std::string> seen_;
};

}  // namespace testsupport
