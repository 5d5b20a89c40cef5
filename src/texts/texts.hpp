// Every text the driver shows: documentation texts and printed lines.
// They are kept byte for byte, odd spellings and trailing blanks included:
// scripts and the help system see them exactly as written here.
#pragma once

namespace zq::texts {

// ---- Printed lines ----------------------------------------------------------

inline constexpr char kSetVoltageRead[] = "set voltage, read:";
inline constexpr char kSetCurrentRead[] = "set current, read:";
inline constexpr char kRestoreFactory[] = "Restore FACTORY:";
// 23 blanks between "try" and "again!".
inline constexpr char kPortAlreadyOpened[] =
    "serial port already opened!, Please close and try                       again!";
inline constexpr char kCannotOpenPort[] = "Cannot open serial port";
// A raw TCP port reports at most one waiting byte, so a whole reply is
// never seen waiting there.
inline constexpr char kSocketUrlRefused[] =
    "Cannot use %S: a socket:// port reports at most 1 byte waiting, so the 26-byte reply is "
    "never seen; use rfc2217://host:port instead (ser2net: accepter telnet(rfc2217))";
// "Error while checking the port: ", in UTF-8.
inline constexpr char kPortCheckError[] = "\xe6\xa3\x80\xe6\x9f\xa5\xe7\xab\xaf\xe5\x8f\xa3"
                                          "\xe6\x97\xb6\xe5\x87\xba\xe9\x94\x99: ";

// The demonstration run when the module is started as a program.
inline constexpr char kDemoPort[] = "/dev/cu.usbserial-21320";
inline constexpr char kDemoRemote[] = "set work mode to remote controll";
inline constexpr char kDemoLocal[] = "------------ local -------------";
inline constexpr char kDemoClosed[] = "zq4100 series closed!";
inline constexpr char kDemoOpenFailedPrefix[] = "open serial port:";
inline constexpr char kDemoOpenFailedSuffix[] = " failed!";

// ---- Errors for refused arguments ------------------------------------------

inline constexpr char kIncorrectType[] =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kSetpointRange[] =
    "%s must be between 0 and 4294967.295 %s (0 to 4294967295 m%s), got %R";
inline constexpr char kOutputModeValue[] = "mode must be 'on' or 'off', got %R";
inline constexpr char kAddressRange[] = "address must be between 0 and 255, got %S";
inline constexpr char kReplyByteType[] = "reply byte %zd is not an int but %.200s";
inline constexpr char kReplyByteRange[] = "reply byte %zd is %S, not a byte value 0..255";
inline constexpr char kReplyTooShort[] = "reply has %zd bytes, at least %zd needed";
inline constexpr char kFrameNotBytes[] = "cannot convert '%.200s' object to bytes";
// As int() words them for a float argument.
inline constexpr char kSetpointNotANumber[] = "cannot convert float NaN to integer";
inline constexpr char kSetpointInfinite[] = "cannot convert float infinity to integer";
// As the interpreter words it for `raise` of something that is no exception.
inline constexpr char kNotAnException[] = "exceptions must derive from BaseException";
inline constexpr char kCannotCatch[] =
    "catching classes that do not inherit from BaseException is not allowed";

// ---- Internal errors (reached only by taking the module apart) ---------------

inline constexpr char kWrongArgumentCount[] = "expected %zd arguments, got %zd";
inline constexpr char kModuleTornDown[] = "the zq4180 module has been torn down";
inline constexpr char kMethodFactoryMissing[] = "method factory %s is missing";
inline constexpr char kCppError[] = "zq4180: %s";

// ---- Documentation texts ----------------------------------------------------

inline constexpr char kModuleDoc[] =
    "\n"
    "Basic Usage:\n"
    "    zq4100 = ZQ4180('/dev/ttyUSB0')\n"
    "    if zq4100.open():\n"
    "        # turn on Power\n"
    "        zq4100.set_work_mode('remote')\n"
    "        zq4100.set_out_voltage(1.222) # set voltage 1.222V\n"
    "        zq4100.set_out_current(0.888) # set current 0.888A\n"
    "        zq4100.set_ouput_mode('on') # turn on Power\n"
    "\n"
    "        # read the device real status\n"
    "        zq4100.read_dev_status()\n"
    "\n"
    "        # turn off Power\n"
    "        zq4100.set_ouput_mode('off')\n"
    "        zq4100.set_work_mode('local')\n";

inline constexpr char kDocInit[] =
    " initialize serial port\n"
    "        :param serial_port:\n"
    "        For Windows, 'COM3', 'COM4' ...\n"
    "        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n"
    "        ";

inline constexpr char kDocCheckCrc[] =
    " Verify the CRC of the received message.\n"
    "\n"
    "        :param data: List of bytes representing the message received \n"
    "                     from the device.\n"
    "        :return: True if the CRC is valid, False otherwise.\n"
    "        ";

inline constexpr char kDocCalCrc[] =
    "\n"
    "        Calculate the CRC of the send command.\n"
    "\n"
    "        :param data: List of bytes representing the message to be sended.\n"
    "        ";

inline constexpr char kDocRead[] =
    "\n"
    "        Read serial data\n"
    "        ";

inline constexpr char kDocWriteAndRead[] =
    "\n"
    "        send command and read response data and check crc\n"
    "        :param cmd: the command send to serial port\n"
    "        ";

inline constexpr char kDocShowDeviceVersion[] =
    "return a dict\n"
    "        {\n"
    "            'model':4181,\n"
    "            'number':076787041\n"
    "            'sfot_version':373\n"
    "        }\n"
    "        ";

inline constexpr char kDocSetWorkMode[] =
    " set deivce work mode\n"
    "        @mode: 'remote' means PC controll mode\n"
    "        @mode: 'local' means local manual controll\n"
    "        return: True if set sucess, otherwise False\n"
    "        ";

inline constexpr char kDocSetOuputMode[] =
    " turn on or off the device power ouput\n"
    "        @mode: 'off' means turn off the power\n"
    "        @mode: 'on' means turn on the power\n"
    "        return: True if set sucess, otherwise False\n"
    "        ";

inline constexpr char kDocSetVoltageMax[] =
    " set the device max voltage ouput value\n"
    "        @voltage: maximum output voltage value, unit: V (float) \n"
    "            1.1 means 1.1V\n"
    "        return: True if set sucess, otherwise False\n"
    "        ";

inline constexpr char kDocSetOutVoltage[] =
    " set output voltage \n"
    "        @voltage: output voltage value, unit: V (float) \n"
    "            1.1 means 1.1V\n"
    "        return: True if set sucess, otherwise False\n"
    "        ";

inline constexpr char kDocSetOutCurrent[] =
    " set output current limitation\n"
    "        @current: the max of power current output, unit: A (float) \n"
    "            0.8 means 0.8A\n"
    "        return: True if set sucess, otherwise False\n"
    "        ";

inline constexpr char kDocSetNewAddr[] =
    " set new address of the device\n"
    "        @address: set the address of the device\n"
    "        return: True if set sucess, otherwise False\n"
    "        ";

inline constexpr char kDocRestoreFactory[] =
    " resotre the device to factory settings\n"
    "        return: True if set sucess, otherwise False\n"
    "        ";

inline constexpr char kDocReadDevStatus[] =
    " read current device status\n"
    "        return a dict if success, otherwise None:\n"
    "        {\n"
    "            'current_real': 0.2\n"
    "            'voltage_real': 3.29\n"
    "            'current_set': 1.0\n"
    "            'voltage_max_set': 5.0\n"
    "            'voltage_set': 3.3\n"
    "            'out_status': 'on'\n"
    "            'beyond_temp': ''\n"
    "            'out_mode': 'CV'\n"
    "            'fan_speed': '3'\n"
    "            'work_mode': 'remote'\n"
    "        }\n"
    "        ";

inline constexpr char kDocReadDeviceVersion[] =
    " Read device version\n"
    "        device version: module, hardware, software\n"
    "        :return dict:\n"
    "        {\n"
    "            'module_version': 2,\n"
    "            'hard_version': 50,\n"
    "            'soft_version': 32,\n"
    "        }\n"
    "        ";

inline constexpr char kDocCheckPortAvailable[] =
    " Check whether the port is available\n"
    "        :return bool: True if available, else False\n"
    "        ";

inline constexpr char kDocOpen[] =
    " open the serial port\n"
    "        :return bool: True if open sucess, else False\n"
    "        ";

}  // namespace zq::texts
