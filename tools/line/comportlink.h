#pragma once

// The entry `COMn` (n = 1..255) in a directory that leads the program to a serial device: the
// program resolves COM n to `<start-up directory>/COMn` when that exists. The entry is a
// symbolic link to the device, for example COM3 -> /dev/pts/7.
//
// Placing replaces an earlier symbolic link of that name (one left behind by a crashed run, or
// one that points at a device that has gone) in a single rename, so the name never goes missing
// in between; anything else of that name (a file, a directory) is left alone and placing fails.
// Removing deletes the link only while it is still the one placed here.

#include <QString>

namespace lumatrax {

class ComPortLink
{
public:
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 255;

    ComPortLink() = default;
    ~ComPortLink();
    ComPortLink(const ComPortLink&) = delete;
    ComPortLink& operator=(const ComPortLink&) = delete;

    // "COM" and the number in decimal: 3 gives "COM3".
    [[nodiscard]] static QString fileName(int portNumber);

    // Makes `directory`/COMn point at `target`; a link placed earlier by this object under
    // another name is removed.
    // False, with errorString() set, for a port number outside 1..255 or when the file system
    // refuses.
    bool place(const QString& directory, int portNumber, const QString& target);
    // Points the link placed last at a new target (a fresh device after a reconnect).
    bool retarget(const QString& target);
    void remove();

    [[nodiscard]] bool isPlaced() const { return !m_path.isEmpty(); }
    // Full path of the link; empty when none is placed.
    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString target() const { return m_target; }
    [[nodiscard]] QString errorString() const { return m_error; }

private:
    bool fail(const QString& what, int error);

    QString m_path;
    QString m_target;
    QString m_error;
};

} // namespace lumatrax
