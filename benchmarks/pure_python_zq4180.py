"""The driver written as plain Python: the baseline a user would otherwise write.

It behaves as the C++ extension does, call for call on the port and line for
line on standard output, so the benchmarks compare like with like and the
differential tests can use it as an oracle.  Keep the two in step.
"""
import ctypes
import math
import operator
import platform
import serial
import time
import warnings
import subprocess

_SETPOINT_MAX = 4294967295
_SOCKET_URL_REFUSED = (
    "Cannot use %s: a socket:// port reports at most 1 byte waiting, so the 26-byte reply is "
    "never seen; use rfc2217://host:port instead (ser2net: accepter telnet(rfc2217))")
_BAD_TYPE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _tp_name(kind):
    # The name the interpreter's own messages give a type (its C-level
    # tp_name: "array.array" where __name__ says "array"), read from the
    # type object: tp_name follows the refcount, type and size fields.
    address = id(kind) + 3 * ctypes.sizeof(ctypes.c_void_p)
    return ctypes.c_char_p.from_address(address).value.decode()


def _require_exact(value, expected, name):
    if type(value) is not expected:
        raise TypeError(_BAD_TYPE % (name, expected.__name__, _tp_name(type(value))))


def _as_double(value):
    # What the C API's float conversion does: a float (subclasses included)
    # by its stored value, else __float__ (which must return a float), else
    # __index__.
    if isinstance(value, float):
        return float.__float__(value)
    kind = type(value)
    if hasattr(kind, "__float__"):
        result = kind.__float__(value)
        if not isinstance(result, float):
            raise TypeError("%.50s.__float__ returned non-float (type %.50s)"
                            % (_tp_name(kind), _tp_name(type(result))))
        if type(result) is not float:
            warnings.warn("%.50s.__float__ returned non-float (type %.50s).  The ability to return an instance "
                          "of a strict subclass of float is deprecated, and may be removed in a future version "
                          "of Python." % (_tp_name(kind), _tp_name(type(result))), DeprecationWarning)
        return float.__float__(result)
    if hasattr(kind, "__index__"):
        return int.__float__(operator.index(value))
    raise TypeError("must be real number, not %.50s" % _tp_name(kind))


def _milli(value, name, unit):
    if math.isnan(value) or math.isinf(value):
        int(value)  # ValueError for NaN, OverflowError for infinities
    product = value * 1000.0
    scaled = int(product) if math.isfinite(product) else -1
    if scaled < 0 or scaled > _SETPOINT_MAX:
        raise ValueError("%s must be between 0 and 4294967.295 %s (0 to 4294967295 m%s), got %r"
                         % (name, unit, unit, value))
    return scaled


def _frame_bytes(cmd):
    # As the C API converts a frame: a buffer by its contents (never through
    # __bytes__), any other iterable element by element as it is iterated; a
    # count or a text is no frame, though bytes() would take them.
    if type(cmd) is list or type(cmd) is bytes:
        return bytes(cmd)
    if not isinstance(cmd, (int, str)):
        try:
            return memoryview(cmd).tobytes()
        except TypeError:
            pass
        try:
            items = iter(cmd)
        except TypeError:
            pass
        else:
            return bytes(items)
    raise TypeError("cannot convert '%.200s' object to bytes" % _tp_name(type(cmd)))


_NOTHING_LOCAL = object()  # no local device to look at: not the same as a port of None


def _device_to_check(port):
    # The local device the availability check looks at: the port itself, the
    # wrapped device of spy://DEVICE, or _NOTHING_LOCAL for any other URL.
    if not (isinstance(port, str) and "://" in port):
        return port
    if port.lower().startswith("spy://"):
        device = port[6:].split("?", 1)[0]
        if device and "://" not in device:
            return device
    return _NOTHING_LOCAL


def _closed_connection(ser):
    base = getattr(serial, "SerialBase", None)
    return base is not None and isinstance(ser, base) and not ser.is_open


def _raise_port_not_open():
    error = serial.PortNotOpenError()
    if not issubclass(type(error), BaseException):
        raise TypeError("exceptions must derive from BaseException")
    raise error


def _drop(connection):
    # Closes the connection a failed open made; its ordinary errors belong
    # to the same failure.
    if connection is None:
        return
    try:
        connection.close()
    except Exception:
        pass


def _reply_bytes(reply, needed):
    if type(reply) is bytes and len(reply) >= needed:
        return reply  # what a port returns: byte values by construction
    values = list(reply)
    for index, value in enumerate(values):
        if not isinstance(value, int):
            raise TypeError("reply byte %d is not an int but %.200s" % (index, _tp_name(type(value))))
        if not 0 <= value <= 255:
            raise ValueError("reply byte %d is %s, not a byte value 0..255" % (index, value))
    if len(values) < needed:
        raise IndexError("reply has %d bytes, at least %d needed" % (len(values), needed))
    return values


def _command(self, word):
    command = list(self._ZQ4180__CMD_TEMPLATE)
    command[1] = self._ZQ4180__addr
    command[2] = getattr(self, "_ZQ4180__" + word)
    return command


def _exchange(self, command):
    self._ZQ4180__cal_crc(command)
    return self._ZQ4180__write_and_read(command)


def _set_milli(self, word, value, name, unit, label):
    value = _as_double(value)
    scaled = _milli(value, name, unit)
    command = _command(self, word)
    for index, byte in enumerate(scaled.to_bytes(4, "little"), 3):
        command[index] = byte
    read_bytes = _exchange(self, command)
    if not read_bytes:
        return False
    if label is not None:
        print(label + str(list(read_bytes)))
    return True


class ZQ4180:
    __CMD_TEMPLATE = (0xAA, 0xFF, 0x20) + (0,) * 22 + (0xCC,)
    __CMD_WORD_SET_WORK_MODE = 0x20
    __CMD_WORD_SET_OUT_MODE = 0x21
    __CMD_WORD_SET_MAX_OUT_VOLTAGE = 0x22
    __CMD_WORD_SET_OUT_VOLTAGE = 0x23
    __CMD_WORD_SET_OUT_CURRENT = 0x24
    __CMD_WORD_SET_NEW_ADDR = 0x25
    __CMD_WORD_READ_DEV_REAL_STATUS = 0x26
    __CMD_WORD_READ_DEV_VERSION = 0x31
    __CMD_WORD_RESTORE_FACTORY = 0x32
    __CMD_WORD_DEV_RETURN = 0x12
    __CMD_LENGTH = 26

    def __init__(self, serial_port: "str"):
        _require_exact(serial_port, str, "serial_port")
        self.port = serial_port
        self.__addr = 0xFF
        self.__product_model = ""
        self.__product_number = ""
        self.__soft_version = 0

    def __check_crc(self, data: "list") -> "bool":
        _require_exact(data, list, "data")
        sum_value = sum(data[:-1])
        checksum = sum_value & 0xFF
        return data[-1] == checksum

    def __cal_crc(self, data: "list") -> "None":
        _require_exact(data, list, "data")
        sum_value = sum(data[:-1])
        checksum = sum_value & 0xFF
        data[-1] = checksum

    def __read(self):
        buf_len = self.ser.inWaiting()
        if buf_len > 0:
            data = self.ser.read(buf_len)
            return data
        return None

    def __write_and_read(self, cmd: "bytes"):
        max_try = 30
        frame = _frame_bytes(cmd)
        ser = self.ser
        # A closed pySerial connection is refused before anything is asked
        # of it, as the write would have refused it.
        if _closed_connection(ser):
            _raise_port_not_open()
        stale = ser.inWaiting()
        if stale > 0:
            self.ser.read(stale)
        self.ser.write(frame)
        data = None
        while max_try > 0:
            max_try -= 1
            time.sleep(0.01)
            buf_len = self.ser.inWaiting()
            if buf_len == self.__CMD_LENGTH:
                data = self.ser.read(buf_len)
                break
        else:
            return None
        if len(data) != self.__CMD_LENGTH:
            return None
        if data[0] != 0xAA:
            return None
        if not self.__check_crc(list(data)):
            return None
        return data

    def show_device_version(self) -> "dict":
        version = {}
        version["model"] = self.__product_model
        version["SN"] = self.__product_number
        version["soft_version"] = self.__soft_version
        return version

    def set_work_mode(self, mode="remote") -> "bool":
        command = _command(self, "CMD_WORD_SET_WORK_MODE")
        command[3] = 1 if mode == "remote" else 0
        return True if _exchange(self, command) else False

    def set_ouput_mode(self, mode="off") -> "bool":
        if mode == "on":
            state = 1
        elif mode == "off":
            state = 0
        else:
            raise ValueError("mode must be 'on' or 'off', got %r" % (mode,))
        command = _command(self, "CMD_WORD_SET_OUT_MODE")
        command[3] = state
        return True if _exchange(self, command) else False

    def set_voltage_max(self, voltage: "float") -> "bool":
        return _set_milli(self, "CMD_WORD_SET_MAX_OUT_VOLTAGE", voltage, "voltage", "V", None)

    def set_out_voltage(self, voltage: "float") -> "bool":
        return _set_milli(self, "CMD_WORD_SET_OUT_VOLTAGE", voltage, "voltage", "V",
                                "set voltage, read:")

    def set_out_current(self, current: "float") -> "bool":
        return _set_milli(self, "CMD_WORD_SET_OUT_CURRENT", current, "current", "A",
                                "set current, read:")

    def set_new_addr(self, address: "int") -> "bool":
        _require_exact(address, int, "address")
        if not 0 <= address <= 255:
            raise ValueError("address must be between 0 and 255, got %d" % address)
        command = _command(self, "CMD_WORD_SET_NEW_ADDR")
        command[3] = address
        return True if _exchange(self, command) else False

    def restore_factory(self) -> "bool":
        command = _command(self, "CMD_WORD_RESTORE_FACTORY")
        read_bytes = _exchange(self, command)
        if not read_bytes:
            return False
        print("Restore FACTORY:" + str(list(read_bytes)))
        return True

    def read_dev_status(self) -> "dict":
        command = _command(self, "CMD_WORD_READ_DEV_REAL_STATUS")
        read_bytes = _exchange(self, command)
        if not read_bytes:
            return None
        b = _reply_bytes(read_bytes, 20)
        status = {}
        status["current_real"] = (b[3] | b[4] << 8) / 1000.0
        status["voltage_real"] = (b[5] | b[6] << 8 | b[7] << 16 | b[8] << 24) / 1000.0
        status["current_set"] = (b[10] | b[11] << 8) / 1000.0
        status["voltage_max_set"] = (b[12] | b[13] << 8 | b[14] << 16 | b[15] << 24) / 1000.0
        status["voltage_set"] = (b[16] | b[17] << 8 | b[18] << 16 | b[19] << 24) / 1000.0
        status["out_status"] = "on" if b[9] & 0x01 else "off"
        status["beyond_temp"] = (b[9] & 0x02) != 0
        status["out_mode"] = {1: "CV", 2: "CC"}.get((b[9] & 0x0C) >> 2, "XX")
        status["fan_speed"] = (b[9] & 0x70) >> 4
        status["work_mode"] = "remote" if b[9] & 0x80 else "local"
        return status

    def __read_device_version(self):
        command = _command(self, "CMD_WORD_READ_DEV_VERSION")
        read_bytes = _exchange(self, command)
        if not read_bytes:
            return None
        b = _reply_bytes(read_bytes, 19)
        self.__addr = b[1]
        self.__product_model = bytes(b[3:7]).decode("latin-1")
        self.__product_number = bytes(b[10:19]).decode("latin-1")
        self.__soft_version = b[8] + b[9] * 256
        return None

    def check_port_available(self) -> "bool":
        if platform.system().lower() == "windows":
            try:
                Serial = serial.Serial
                device = _device_to_check(self.port)
                if device is _NOTHING_LOCAL:
                    return True
                ser = Serial(device)
                ser.close()
                return True
            except serial.SerialException:
                return False
        try:
            run = subprocess.run
            device = _device_to_check(self.port)
            if device is _NOTHING_LOCAL:
                return True  # a URL names no local device; opening gives the verdict
            result = run(["lsof", "--", device],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if result.stdout:
                return False
            return True
        except Exception as e:
            print("检查端口时出错: " + str(e))
            return False

    def open(self) -> "bool":
        connection = None
        try:
            if not self.check_port_available():
                print("serial port already opened!, Please close and try                       again!")
                return False
            opener = serial.Serial
            port = self.port
            if isinstance(port, str) and "://" in port:
                if port.lower().startswith("socket://"):
                    print(_SOCKET_URL_REFUSED % (port,))
                    return False
                opener = serial.serial_for_url
            connection = opener(port, 4800, 8, "N", timeout=50, stopbits=1)
            self.ser = connection
            # Only an answer to this very read-out may pass the model test; a
            # silent supply gets the identity that answered last put back.
            kept_model = self.__product_model
            self.__product_model = ""
            try:
                self.__read_device_version()
                model = self.__product_model
            finally:
                if self.__product_model == "":
                    self.__product_model = kept_model
            if model == "4180" or model == "4181":
                return True
            self.close()
            return False
        except serial.SerialException as e:
            print("Cannot open serial port" + str(e))
            _drop(connection)
            return False
        except Exception:
            _drop(connection)
            return False
        except BaseException:
            _drop(connection)
            raise

    def close(self):
        self.ser.close()
