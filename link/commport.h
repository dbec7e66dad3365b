#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <optional>

namespace lumatrax {

// The serial port component of the main window: one COM port at 500000 bit/s, 8 data bits,
// raw bytes both ways, a 1024-byte receive buffer and a receive threshold that raises the
// communications event on the user-interface thread.
//
// Operations that can fail return the error's description, naming the port, the device it
// resolved to and the system's reason ("COM9 (/dev/ttyS8): No such file or directory").
// Parity, stop bits and flow control stay at Qt's defaults (none, one, none); the modem lines
// (DTR, RTS) are never touched.
//
// When the device goes away while open (an adapter pulled, the far side of a pseudo-terminal
// closed), Qt reports read or resource errors over and over. The port is closed on the first of
// them and linkLost() is emitted once; later errors are ignored.
class CommPort : public QObject
{
    Q_OBJECT
public:
    // The kind of communications event being reported: received data reached the threshold.
    static constexpr int comEvReceive = 2;
    static constexpr qint64 kReceiveBufferSize = 1024;

    explicit CommPort(QObject* parent = nullptr);
    ~CommPort() override;

    // The directory whose COMn entries name devices (the program's start-up directory).
    void setStartDirectory(const QString& directory) { m_startDirectory = directory; }

    // Selects COM n for the next open.
    void setCommPort(std::int16_t number) { m_number = number; }
    [[nodiscard]] std::int16_t commPort() const { return m_number; }

    // Opens the selected port; fails when it does not exist, cannot be opened or is open already.
    [[nodiscard]] std::optional<QString> open();
    void close();
    [[nodiscard]] bool portOpen() const { return m_port.isOpen(); }

    // Queues the bytes for sending in one write and returns at once.
    [[nodiscard]] std::optional<QString> output(const QByteArray& bytes);

    // Every byte waiting, in arrival order, also those the system holds that have not reached
    // the receive buffer yet; empty when nothing waits.
    [[nodiscard]] QByteArray input();

    // 0: no communications events; N > 0: the event is raised whenever at least N bytes wait.
    void setRThreshold(int threshold);
    [[nodiscard]] int rThreshold() const { return m_threshold; }

    // The kind of the event being reported, valid inside a comm() handler.
    [[nodiscard]] int commEvent() const { return m_commEvent; }

    // Raises the communications event with the given kind. The port raises comEvReceive itself;
    // other kinds exist so their handling (ignoring them) can be exercised.
    void raiseEvent(int kind);

    [[nodiscard]] QString devicePath() const { return m_devicePath; }

signals:
    // The communications event; read commEvent() for its kind.
    void comm();
    // The device went away while the port was open; the port is closed already. The
    // description names the port and the device, says that the connection was lost and gives the
    // system's reason.
    void linkLost(const QString& description);

private:
    void onReadyRead();
    void onErrorOccurred(QSerialPort::SerialPortError error);
    void closeAfterLoss();
    void raiseIfAboveThreshold();
    [[nodiscard]] QString describe(const QString& reason) const;
    [[nodiscard]] QString lossDescription() const;

    QSerialPort m_port;
    QString m_startDirectory;
    QString m_devicePath;
    std::int16_t m_number = 0;
    int m_threshold = 0;
    int m_commEvent = 0;
    bool m_inInput = false;
    bool m_lost = false;
    QString m_lossReason;
};

} // namespace lumatrax
