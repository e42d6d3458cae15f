// The value-or-error result of the network layer: decoders and stream reads return one, so a
// protocol failure is a value the caller looks at, never an exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace dicomlib::net {

enum class ErrorCode {
    NeedMore,      // the bytes end before the PDU does
    Malformed,     // the bytes contradict themselves (a length, a type)
    SocketFailed,  // the connection timed out, was closed or failed
};

struct Error {
    ErrorCode code;
    std::string detail;
};

template <class T>
class Result {
  public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool Ok() const { return state_.index() == 0; }
    explicit operator bool() const { return Ok(); }

    T& Value() { return std::get<0>(state_); }
    const T& Value() const { return std::get<0>(state_); }
    T* operator->() { return &Value(); }
    const T* operator->() const { return &Value(); }
    T& operator*() { return Value(); }
    const T& operator*() const { return Value(); }

    const Error& GetError() const { return std::get<1>(state_); }
    ErrorCode Code() const { return GetError().code; }

  private:
    std::variant<T, Error> state_;
};

}  // namespace dicomlib::net
