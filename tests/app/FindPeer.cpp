// A scripted query provider for the window's tests, run as a process of its own (it links the
// library statically, the window the shared one). It prints "port N" and then serves one
// association after another until it is killed:
//   find_peer STUDIES STATUS [--hold] [--reject]
// C-ECHO-RQ gets a success. C-FIND-RQ gets STUDIES pending responses, study I (from 1) with
// PatientName PATIENT^I, PatientID IDI, StudyInstanceUID 1.2.826.0.1.3680043.2.7251.13.I and
// fixed other values, then a final response with STATUS (hex); with --hold it first prints
// "request" and waits for a line on standard input. --reject rejects every association.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "services/QueryFixtures.h"

using namespace nettest;

namespace {

Bytes Study(int i) {
    const std::string n = std::to_string(i);
    return Implicit([&](testsupport::DataSetBuilder& b) {
        b.Text(0x0008, 0x0020, "DA", "20240307")
            .Text(0x0008, 0x0030, "TM", "101500")
            .Text(0x0008, 0x0050, "SH", "A" + n)
            .Text(0x0008, 0x0052, "CS", "STUDY ")
            .Text(0x0008, 0x0061, "CS", "CT")
            .Text(0x0008, 0x0080, "LO", "GENERAL HOSPITAL")
            .Text(0x0008, 0x0090, "PN", "HOUSE^G")
            .Text(0x0008, 0x1030, "LO", "CHEST")
            .Text(0x0010, 0x0010, "PN", "PATIENT^" + n)
            .Text(0x0010, 0x0020, "LO", "ID" + n)
            .Text(0x0010, 0x0030, "DA", "19700101")
            .Text(0x0010, 0x0040, "CS", "O ")
            .Text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.7251.13." + n)
            .Text(0x0020, 0x0010, "SH", n);
    });
}

Bytes Pdu(uint8_t contextId, uint8_t control, const Bytes& data) {
    Bytes item = {0, 0, 0, 0, contextId, control};
    Put32(item, 0, static_cast<uint32_t>(data.size() + 2));
    Bytes pdu = {0x04, 0x00, 0, 0, 0, 0};
    Put32(pdu, 2, static_cast<uint32_t>(item.size() + data.size()));
    return Cat({pdu, item, data});
}

Bytes Answer(uint16_t field, uint16_t status, bool identifier, const char* sopClass) {
    return CommandBytes({{0x0002, Uid(sopClass)},
                         {0x0100, Le16(field)},
                         {0x0120, Le16(1)},
                         {0x0800, Le16(identifier ? 0x0001 : 0x0101)},
                         {0x0900, Le16(status)}});
}

void Serve(dicomlib::net::PduStream& s, int studies, uint16_t final, bool hold) {
    for (;;) {
        const MessagePart command = ReadMessagePart(s);
        if (!command.ok) {
            if (!command.pdus.empty() && command.pdus.back() == RELEASE_RQ) s.Write(RELEASE_RP);
            return;
        }
        const uint8_t context = (*dicomlib::net::DecodePDataTF(command.pdus[0]))[0].contextId;
        if (UsOf(command.data, dicomlib::tag::CommandField) == 0x0030) {
            s.Write(Pdu(context, 0x03, Answer(0x8030, 0x0000, false, "1.2.840.10008.1.1")));
            continue;
        }
        if (!ReadMessagePart(s).ok) return;  // the identifier
        if (hold) {
            std::printf("request\n");
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
        }
        const Bytes pending = Pdu(context, 0x03, Answer(0x8020, 0xFF00, true, FIND));
        for (int i = 1; i <= studies; ++i)
            if (!s.Write(Cat({pending, Pdu(context, 0x02, Study(i))}))) return;
        if (!s.Write(Pdu(context, 0x03, Answer(0x8020, final, false, FIND)))) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const int studies = std::atoi(argv[1]);
    const auto final = static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 16));
    bool hold = false, reject = false;
    for (int i = 3; i < argc; ++i) {
        hold = hold || std::strcmp(argv[i], "--hold") == 0;
        reject = reject || std::strcmp(argv[i], "--reject") == 0;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 1;
    std::printf("port %u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    std::fflush(stdout);
    for (;;) {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0) return 1;
        dicomlib::net::PduStream s;
        s.Adopt(connection);
        const Bytes rq = ReadPduBytes(s);
        if (reject) {
            s.Write(ASSOCIATE_RJ);
        } else if (!rq.empty() && s.Write(AcceptEvery(rq))) {
            Serve(s, studies, final, hold);
        }
        s.Close();
    }
}
