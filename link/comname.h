#pragma once

#include <QString>

#include <optional>

namespace lumatrax {

// Where COM n (1..255) lives on this machine.
//
// On Windows it is the device \\.\COMn. On Linux and other POSIX systems it is the entry named
// COMn in the start-up directory when one exists (a link the operator places there, for example
// `ln -s /dev/ttyUSB0 COM3`, or that the virtual instrument places), and otherwise
// /dev/ttyS<n-1>, the n-th on-board serial port.
[[nodiscard]] QString comDevicePath(int number, const QString& startDirectory);

// The operator's name of the port: "COM" and the number, as the status label shows it.
[[nodiscard]] QString comName(int number);

// The process that holds `device` by its lock file, as serial programs (Qt Serial Port among
// them) place it: LCK.. and the path below /dev with '/' as '_', in the first of the usual lock
// directories that has one, the process id on its first line. Empty when no lock file is there
// or it names no process.
[[nodiscard]] std::optional<qint64> portLockHolder(const QString& device);

} // namespace lumatrax
