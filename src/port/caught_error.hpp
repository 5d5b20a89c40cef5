// The `try: ... except X:` of the port operations: the pending exception is
// taken over, tested against classes looked up at that moment, and either
// dropped or raised again.
#pragma once

#include "context/context.hpp"

namespace zq::port {

class CaughtError {
public:
    // Takes over the pending exception (there must be one).
    CaughtError();
    ~CaughtError();
    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;

    // 1 when the exception is an instance of `classes` (a class or a tuple),
    // 0 when not, -1 with a new error set (chained to this one) when
    // `classes` cannot be caught.
    int matches(PyObject* classes);
    // `except serial.SerialException`, the name looked up now.
    int matches_serial_exception(const Context& context);
    bool is_exception() const;  // derived from Exception, not BaseException only

    PyObject* value() const { return value_; }
    // Raises it again; returns null for the caller to pass on.
    PyObject* reraise();
    // Makes it the context of the error pending now (raised while handling).
    void chain_into_pending();

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace zq::port
