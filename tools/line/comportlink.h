#pragma once

// The entry `COMn` (n = 1..255) in a directory that leads the program to a serial device: the
// program resolves COM n to `<start-up directory>/COMn` when that exists. The entry is a
// symbolic link to the device, for example COM3 -> /dev/pts/7.
//
// A link is placed only where no entry of that name exists: an entry the tools did not make (a
// user's link to /dev/ttyS0, or to an adapter that is unplugged; a file, a directory) is never
// replaced nor removed. The one exception is what a simulator or tap that was killed leaves
// behind: a link to a pseudo-terminal that has gone, or to the one being linked now (which got
// the old one's number); it is replaced in a single rename.
// Removing deletes the link only while it is still the one placed here.

#include <QString>

#include <optional>

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

    // The refusal when something stands at `path` that a link may not replace ("<path> exists
    // already", where it leads when it is a link, and what to do); nothing when the name is free
    // for a link.
    [[nodiscard]] static std::optional<QString> entryInTheWay(const QString& path);

    // Makes `directory`/COMn point at `target`; a link placed earlier by this object under
    // another name is removed.
    // False, with errorString() set, for a port number outside 1..255, an entry in the way
    // (a one-line refusal that says what to do), or when the file system refuses.
    bool place(const QString& directory, int portNumber, const QString& target);
    // Points the link placed last at a new target (a fresh device after a reconnect), while it
    // is still the one placed here.
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
