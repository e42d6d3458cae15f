// A scripted query provider for the window's tests, a process of its own (it links the library
// statically, the window the shared one). `find_peer STUDIES STATUS [--hold]` prints "port N",
// then serves one association after another until killed: C-ECHO-RQ gets a success; C-FIND-RQ
// gets STUDIES pending responses, study I (from 1) with PatientName PATIENT^I, PatientID IDI,
// StudyInstanceUID 1.2.826.0.1.3680043.2.7251.13.I, then a final response with STATUS (hex).
// With --hold it first prints "request" and waits for a line on standard input.
#include <iostream>

#include "services/QueryFixtures.h"

using namespace nettest;

namespace {

Bytes Study(int i) {
    const std::string n = std::to_string(i);
    return Implicit([&](testsupport::DataSetBuilder& b) {
        b.Text(0x0008, 0x0020, "DA", "20240307").Text(0x0008, 0x0052, "CS", "STUDY ");
        b.Text(0x0010, 0x0010, "PN", "PATIENT^" + n).Text(0x0010, 0x0020, "LO", "ID" + n);
        b.Text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.7251.13." + n);
    });
}

// One PDV on the request's presentation context.
Bytes Pdu(uint8_t context, uint8_t control, const Bytes& data) {
    Bytes pdu = {0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, context, control};
    Put32(pdu, 2, static_cast<uint32_t>(data.size() + 6));
    Put32(pdu, 6, static_cast<uint32_t>(data.size() + 2));
    return Cat({pdu, data});
}

Bytes Answer(uint16_t field, uint16_t status, bool identifier) {
    return CommandBytes({{0x0100, Le16(field)},
                         {0x0120, Le16(1)},
                         {0x0800, Le16(identifier ? 0x0001 : 0x0101)},
                         {0x0900, Le16(status)}});
}

void Serve(dicomlib::net::PduStream& s, int studies, uint16_t final, bool hold) {
    for (MessagePart command; (command = ReadMessagePart(s)).ok;) {
        const uint8_t context = (*dicomlib::net::DecodePDataTF(command.pdus[0]))[0].contextId;
        if (UsOf(command.data, dicomlib::tag::CommandField) == 0x0030) {
            s.Write(Pdu(context, 0x03, Answer(0x8030, 0x0000, false)));
            continue;
        }
        if (!ReadMessagePart(s).ok) return;  // the identifier
        if (hold) {
            std::cout << "request" << std::endl;
            std::string line;
            std::getline(std::cin, line);
        }
        const Bytes pending = Pdu(context, 0x03, Answer(0x8020, 0xFF00, true));
        for (int i = 1; i <= studies; ++i)
            if (!s.Write(Cat({pending, Pdu(context, 0x02, Study(i))}))) return;
        s.Write(Pdu(context, 0x03, Answer(0x8020, final, false)));
    }
    s.Write(RELEASE_RP);  // answers a release; after anything else it goes nowhere
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    dicomlib::net::TcpSocket listener;
    if (!listener.ListenOn(0)) return 1;
    std::cout << "port " << listener.LocalPort() << std::endl;
    while (listener.Accept()) {
        dicomlib::net::PduStream s;
        s.Adopt(listener.ReleaseConnection());
        if (s.Write(AcceptEvery(ReadPduBytes(s))))
            Serve(s, std::stoi(argv[1]), static_cast<uint16_t>(std::stoul(argv[2], nullptr, 16)),
                  argc > 3 && std::string(argv[3]) == "--hold");
    }
}
