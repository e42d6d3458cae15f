// Whether the peer has sent something, without waiting: a provider busy with a long operation
// looks for a cancel between its steps.
#pragma once

#include "net/TcpSocket.h"

namespace dicomlib::net {

// True when a Receive would not wait: bytes have arrived, or the peer has closed.
bool Readable(TcpSocket& socket);

}  // namespace dicomlib::net
