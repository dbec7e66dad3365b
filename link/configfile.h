#pragma once

// The configuration file "Lumatrax.cfg": the program's only persistent setting, the COM port
// number, as decimal digits followed by CR LF, in the directory that was current when the
// program started.
//
// Reading takes the file's leading integer: blanks before it are skipped, an optional sign,
// then digits, which end at the first other character (a comma, the line end). A file that is
// missing, unreadable, not a regular file (a directory, a named pipe), empty, holds no leading
// integer or a value outside 16 bits gives no port number; the caller then starts with
// kDefaultPortNumber and leaves the file as it is. Only the first kMaxConfigRead bytes are ever
// read, so a huge file costs nothing.
//
// Writing replaces the whole file through common/savefile.h: atomically (a temporary file renamed
// over it), so a crash or a full disk never leaves a half-written or empty file behind; in a
// directory that takes no new file, an existing file is rewritten in place.

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

namespace lumatrax {

inline constexpr const char* CONFIG_FILE_NAME = "Lumatrax.cfg";
inline constexpr std::int16_t kDefaultPortNumber = 1;
inline constexpr qint64 kMaxConfigRead = 256;

// appDir exactly as captured, a path separator, and the file name.
[[nodiscard]] QString configFilePath(const QString& appDir);

// The leading integer of the file's content; empty when there is none or it does not fit
// 16 bits.
[[nodiscard]] std::optional<std::int16_t> parsePortNumber(QByteArrayView content);

// The bytes a port number is stored as: "12" CR LF for port 12.
[[nodiscard]] QByteArray formatPortNumber(std::int16_t port);

// Reads the port number from the file at path; empty when it cannot be read or holds none.
[[nodiscard]] std::optional<std::int16_t> readPortNumber(const QString& path);

// Replaces the file's content with the port number. On failure returns a description naming
// the file (in native separators) and the system's reason, "<file>: <reason>"; the earlier file,
// if any, is left as it was.
[[nodiscard]] std::optional<QString> writePortNumber(const QString& path, std::int16_t port);

} // namespace lumatrax
