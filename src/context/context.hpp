// Per-module state: the interned names and constant objects the driver's
// operations use.  Each loaded copy of the module has its own (the module
// can be loaded twice in one process, e.g. once as a program).
#pragma once

#include "context/object_locks.hpp"
#include "pyref/calls.hpp"

namespace zq {

// Interned strings: attribute names, global names, keyword names, and the
// fixed texts the operations compare with or return.
#define ZQ_CONTEXT_STRINGS(X)                                              \
    /* attributes of the driver object */                                  \
    X(port, "port")                                                        \
    X(ser, "ser")                                                          \
    X(addr, "_ZQ4180__addr")                                               \
    X(product_model, "_ZQ4180__product_model")                             \
    X(product_number, "_ZQ4180__product_number")                           \
    X(soft_version, "_ZQ4180__soft_version")                               \
    X(cmd_template, "_ZQ4180__CMD_TEMPLATE")                               \
    X(word_set_work_mode, "_ZQ4180__CMD_WORD_SET_WORK_MODE")               \
    X(word_set_out_mode, "_ZQ4180__CMD_WORD_SET_OUT_MODE")                 \
    X(word_set_max_out_voltage, "_ZQ4180__CMD_WORD_SET_MAX_OUT_VOLTAGE")   \
    X(word_set_out_voltage, "_ZQ4180__CMD_WORD_SET_OUT_VOLTAGE")           \
    X(word_set_out_current, "_ZQ4180__CMD_WORD_SET_OUT_CURRENT")           \
    X(word_set_new_addr, "_ZQ4180__CMD_WORD_SET_NEW_ADDR")                 \
    X(word_read_dev_real_status, "_ZQ4180__CMD_WORD_READ_DEV_REAL_STATUS") \
    X(word_read_dev_version, "_ZQ4180__CMD_WORD_READ_DEV_VERSION")         \
    X(word_restore_factory, "_ZQ4180__CMD_WORD_RESTORE_FACTORY")           \
    X(cmd_length, "_ZQ4180__CMD_LENGTH")                                   \
    X(cal_crc, "_ZQ4180__cal_crc")                                         \
    X(check_crc, "_ZQ4180__check_crc")                                     \
    X(write_and_read, "_ZQ4180__write_and_read")                           \
    X(read_device_version, "_ZQ4180__read_device_version")                 \
    X(check_port_available, "check_port_available")                        \
    X(close, "close")                                                      \
    /* methods of the serial connection */                                 \
    X(write, "write")                                                      \
    X(in_waiting, "inWaiting")                                             \
    X(read, "read")                                                        \
    /* module globals and what the driver uses of them */                  \
    X(time, "time")                                                        \
    X(sleep, "sleep")                                                      \
    X(serial, "serial")                                                    \
    X(serial_class, "Serial")                                              \
    X(serial_for_url, "serial_for_url")                                    \
    X(serial_exception, "SerialException")                                 \
    X(serial_base, "SerialBase")                                           \
    X(port_not_open_error, "PortNotOpenError")                             \
    X(is_open, "is_open")                                                  \
    X(subprocess, "subprocess")                                            \
    X(run, "run")                                                          \
    X(pipe, "PIPE")                                                        \
    X(platform, "platform")                                                \
    X(system, "system")                                                    \
    X(lower, "lower")                                                      \
    X(startswith, "startswith")                                            \
    X(print, "print")                                                      \
    X(stdout_name, "stdout")                                               \
    /* fixed texts */                                                      \
    X(empty, "")                                                           \
    X(remote, "remote")                                                    \
    X(local, "local")                                                      \
    X(on, "on")                                                            \
    X(off, "off")                                                          \
    X(windows, "windows")                                                  \
    X(model_4180, "4180")                                                  \
    X(model_4181, "4181")                                                  \
    X(lsof, "lsof")                                                        \
    X(end_of_options, "--")                                                \
    X(parity_none, "N")                                                    \
    X(url_marker, "://")                                                   \
    X(socket_scheme, "socket://")                                          \
    X(spy_scheme, "spy://")                                                \
    X(mode_cv, "CV")                                                       \
    X(mode_cc, "CC")                                                       \
    X(mode_xx, "XX")                                                       \
    /* dictionary keys */                                                  \
    X(key_current_real, "current_real")                                    \
    X(key_voltage_real, "voltage_real")                                    \
    X(key_current_set, "current_set")                                      \
    X(key_voltage_max_set, "voltage_max_set")                              \
    X(key_voltage_set, "voltage_set")                                      \
    X(key_out_status, "out_status")                                        \
    X(key_beyond_temp, "beyond_temp")                                      \
    X(key_out_mode, "out_mode")                                            \
    X(key_fan_speed, "fan_speed")                                          \
    X(key_work_mode, "work_mode")                                          \
    X(key_model, "model")                                                  \
    X(key_sn, "SN")                                                        \
    X(key_soft_version, "soft_version")

struct Context {
#define ZQ_DECLARE(id, text) PyObject* id;
    ZQ_CONTEXT_STRINGS(ZQ_DECLARE)
#undef ZQ_DECLARE
    PyObject* poll_interval;    // 0.01, the seconds between polls
    PyObject* demo_pause;       // 3, the demonstration's pause in seconds
    PyObject* baud_rate;        // 4800
    PyObject* data_bits;        // 8
    PyObject* read_timeout;     // 50
    PyObject* stop_bits;        // 1
    PyObject* zero;             // 0
    PyObject* open_kwnames;     // ("timeout", "stopbits")
    PyObject* run_kwnames;      // ("stdout", "stderr")
    PyObject* module;           // borrowed: the module this state belongs to
    ObjectLocks* locks;         // owned: one exchange at a time per driver object
};

// Fills a zeroed context; false with an error set on failure.
bool context_init(Context& context, PyObject* module);
int context_traverse(Context& context, visitproc visit, void* arg);
// Drops the interpreter objects (the module is being cleared or freed).
void context_clear(Context& context);
// Releases what is left once the module is freed.
void context_free(Context& context);

// The context of the module that owns an operation; null with RuntimeError
// when the module has already been torn down (interpreter shutdown).
Context* context_of(PyObject* module);

// A name looked up as the module's own code would: its namespace first,
// then the builtins (so a module-level `print` replaces the builtin one).
py::Ref global(const Context& context, PyObject* name);

}  // namespace zq
